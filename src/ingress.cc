#include "ingress.h"
// (to be written)
int handle_server_datagram(mux_ctx*, size_t, const sockaddr*, socklen_t) { return 0; }
void free_rx_templates(mux_ctx*) {}
