/* The test-only controls of libkalvoran-icmp-scripted.so, an ICMP module without sockets whose
 * echoes are answered (or not) by a function of the test. Shared by the module and by
 * tests/support/ScriptedPing.h, which loads it. */
#ifndef KALVORAN_TESTS_SCRIPTED_ICMP_H
#define KALVORAN_TESTS_SCRIPTED_ICMP_H

#include <stdint.h>

#include "net/icmp/IcmpApi.h"

#ifdef __cplusplus
extern "C" {
#endif

/* Decides one echo: non-zero when destination answers it. timeout is the caller's time-out in
 * milliseconds, so that a test in simulated time can let that much time pass for a silent agent. */
typedef uint32_t (*IcmpScriptResponderFn)(void* context, uint32_t destination, uint32_t timeout);

/* Module-wide; a null responder answers no echo. */
typedef void (*IcmpScriptSetResponderFn)(IcmpScriptResponderFn responder, void* context);

/* Module-wide; non-zero: IcmpCreateFile returns ICMP_INVALID_HANDLE. */
typedef void (*IcmpScriptFailOpenFn)(int fail);

KALVORAN_ICMP_EXPORT void IcmpScriptSetResponder(IcmpScriptResponderFn responder, void* context);
KALVORAN_ICMP_EXPORT void IcmpScriptFailOpen(int fail);

#ifdef __cplusplus
}
#endif

#endif /* KALVORAN_TESTS_SCRIPTED_ICMP_H */
