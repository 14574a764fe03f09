/* The ICMP echo module's interface: the three functions the program looks up by name after
 * loading libkalvoran-icmp.so at run time, the echo reply record they fill in, and the optional
 * wait callback that keeps the program responsive during an echo.
 * Plain C so that the module and its caller share one definition of the record. */
#ifndef KALVORAN_NET_ICMP_ICMPAPI_H
#define KALVORAN_NET_ICMP_ICMPAPI_H

#include <stdint.h>

#ifdef __cplusplus
extern "C" {
#endif

/* The handle returned by IcmpCreateFile when no ICMP socket can be opened. */
#define ICMP_INVALID_HANDLE ((void*)(intptr_t)-1)

/* Status of a stored reply. Only echo replies are stored, so a stored reply is IP_SUCCESS. */
#define IP_SUCCESS 0u

/* Options of the request and of a reply: the IPv4 header's TTL and type of service. */
typedef struct IP_OPTION_INFORMATION {
    unsigned char Ttl;
    unsigned char Tos;
    unsigned char Flags;
    unsigned char OptionsSize;
    unsigned char* OptionsData; /* IP header options; never filled in by this module */
} IP_OPTION_INFORMATION;

/* One echo reply, stored at the start of the caller's reply buffer. The echoed data follow the
 * record in the same buffer; Data points at them. */
typedef struct ICMP_ECHO_REPLY {
    uint32_t Address;       /* replying IPv4 address, network order (first octet first in memory) */
    uint32_t Status;        /* IP_SUCCESS */
    uint32_t RoundTripTime; /* milliseconds */
    uint16_t DataSize;      /* echoed bytes stored at Data */
    uint16_t Reserved;      /* number of records stored (always 1) */
    void* Data;             /* echoed data, inside the reply buffer */
    IP_OPTION_INFORMATION Options;
} ICMP_ECHO_REPLY;

/* Opens an ICMP socket and returns its handle, or ICMP_INVALID_HANDLE. */
typedef void* (*IcmpCreateFileFn)(void);

/* Sends one echo request carrying requestSize bytes of requestData to destination (IPv4, network
 * order) and waits up to timeout milliseconds for the matching echo reply. requestOptions may be
 * null; its Ttl and Tos apply when non-zero. The reply buffer must hold one ICMP_ECHO_REPLY plus
 * requestSize bytes. Returns the number of replies stored in replyBuffer: 1, or 0 when no reply
 * came in time or the arguments are unusable. */
typedef uint32_t (*IcmpSendEchoFn)(void* handle, uint32_t destination, void* requestData,
                                   uint16_t requestSize, IP_OPTION_INFORMATION* requestOptions,
                                   void* replyBuffer, uint32_t replySize, uint32_t timeout);

/* Closes a handle from IcmpCreateFile. Returns non-zero on success. */
typedef int (*IcmpCloseHandleFn)(void* handle);

/* Which ICMP socket IcmpCreateFile opens. Automatic: the unprivileged datagram socket where the
 * system's ping group range admits the caller, otherwise a raw socket (needs CAP_NET_RAW). */
enum IcmpSocketKind { ICMP_SOCKET_AUTOMATIC = 0, ICMP_SOCKET_DATAGRAM = 1, ICMP_SOCKET_RAW = 2 };

/* Module-wide choice of the socket kind for later IcmpCreateFile calls (diagnostics and tests);
 * the program itself never calls it and so always runs automatic. Returns the previous choice. */
typedef int (*IcmpSelectSocketKindFn)(int kind);

/* The socket kind a handle actually uses (ICMP_SOCKET_DATAGRAM or ICMP_SOCKET_RAW), or -1 for
 * an invalid handle. */
typedef int (*IcmpHandleSocketKindFn)(void* handle);

/* Called by IcmpSendEcho between the slices of its wait for the reply, so that a program whose
 * window runs on the same thread can keep it painted while an agent does not answer. It is not
 * called once the reply has arrived or the time-out has passed. */
typedef void (*IcmpWaitCallbackFn)(void* context);

/* Longest slice of the wait between two calls of the wait callback, in milliseconds. */
#define ICMP_WAIT_SLICE_MS 20

/* Module-wide: from now on IcmpSendEcho calls callback(context) between slices of at most
 * ICMP_WAIT_SLICE_MS while it waits; a null callback returns to one uninterrupted wait. The
 * time-out and the reply matching are the same either way. Optional: a module without it always
 * waits uninterrupted. */
typedef void (*IcmpSetWaitCallbackFn)(IcmpWaitCallbackFn callback, void* context);

/* The module's exports; the program reaches them only through dlsym and the types above. The
 * module is built with hidden visibility, so these are the only names it exports. */
#define KALVORAN_ICMP_EXPORT __attribute__((visibility("default")))
KALVORAN_ICMP_EXPORT void* IcmpCreateFile(void);
KALVORAN_ICMP_EXPORT uint32_t IcmpSendEcho(void* handle, uint32_t destination, void* requestData,
                                           uint16_t requestSize,
                                           IP_OPTION_INFORMATION* requestOptions, void* replyBuffer,
                                           uint32_t replySize, uint32_t timeout);
KALVORAN_ICMP_EXPORT int IcmpCloseHandle(void* handle);
KALVORAN_ICMP_EXPORT int IcmpSelectSocketKind(int kind);
KALVORAN_ICMP_EXPORT int IcmpHandleSocketKind(void* handle);
KALVORAN_ICMP_EXPORT void IcmpSetWaitCallback(IcmpWaitCallbackFn callback, void* context);

#ifdef __cplusplus
}
#endif

#endif /* KALVORAN_NET_ICMP_ICMPAPI_H */
