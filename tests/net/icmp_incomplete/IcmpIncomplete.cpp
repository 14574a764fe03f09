// An ICMP module with IcmpCreateFile and IcmpCloseHandle but no IcmpSendEcho, as left behind by
// a damaged installation.
#include "net/icmp/IcmpApi.h"

extern "C" {

void* IcmpCreateFile(void) {
    return ICMP_INVALID_HANDLE;
}

int IcmpCloseHandle(void* /*handle*/) {
    return 0;
}

}  // extern "C"
