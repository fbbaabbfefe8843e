// Included before every C++ source of the musl build. The compiler's
// libstdc++ headers were configured for glibc and test its version with
// __GLIBC_PREREQ, which musl's headers do not define: no glibc features.
#ifndef __GLIBC_PREREQ
#define __GLIBC_PREREQ(maj, min) 0
#endif
