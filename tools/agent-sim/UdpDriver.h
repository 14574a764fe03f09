// Carries out the simulated agent's actions on real UDP sockets: one listening socket, one
// socket per transfer, all bound to the agent's address. It sleeps in poll() until a datagram
// arrives or the machine's next deadline, so an idle agent uses no processor time.
#pragma once

#include <csignal>
#include <cstdint>
#include <map>
#include <string>

#include "agent-sim/AgentSim.h"

namespace kalvoran::agentsim {

class UdpDriver {
public:
    // localAddress: IPv4 in host order.
    UdpDriver(AgentSim& drivenMachine, std::uint32_t localAddress, bool verboseOutput);
    ~UdpDriver();
    UdpDriver(const UdpDriver&) = delete;
    UdpDriver& operator=(const UdpDriver&) = delete;

    // Binds the listening socket; port 0 lets the system choose. Fills error on failure.
    bool Listen(std::uint16_t port, std::string& error);
    std::uint16_t ListenPort() const { return listenPort; }

    // Runs until stop becomes non-zero. SIGTERM and SIGINT must be blocked by the caller; they
    // are let through only while the driver sleeps, so a stop request is never missed.
    // Returns 0, or 1 after a socket failure.
    int Run(const volatile std::sig_atomic_t& stop);

private:
    void Carry();
    void Receive(SocketId socket);
    int OpenBound(std::uint16_t port, std::string& error);

    AgentSim& machine;
    std::uint32_t address;
    bool verbose;
    std::uint16_t listenPort = 0;
    std::map<SocketId, int> sockets;
};

}  // namespace kalvoran::agentsim
