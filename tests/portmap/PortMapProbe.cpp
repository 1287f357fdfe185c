// A stand-in for the program in the router tests: it listens on two ports (conversation and
// transfer; free ones, or the two given as arguments), opens them on the router through TPortMapper
// and answers commands on its input:
//   listen   map both ports         stop   remove the mappings        quit   end
// It writes "PORTS <conversation> <transfer>" first, "LOG <line>" for each log line of the
// mapper, "ACCEPT <address>" for each caller, and "READY <mapped> <address> <ports...>" once a
// command has been dealt with.
#include <iostream>
#include <mutex>
#include <string>

#include "net/ServerSocket.h"
#include "portmap/PortMapper.h"

int main(int argc, char** argv) {
    using namespace vox;
    std::mutex out;
    auto say = [&](const std::string& line) {
        std::lock_guard lock(out);
        std::cout << line << std::endl;
    };
    TServerSocket conversation;
    TServerSocket transfer;
    for (TServerSocket* server : {&conversation, &transfer}) {
        server->OnAccept = [&](TServerSocket&, TCustomWinSocket& socket) {
            say("ACCEPT " + socket.RemoteAddress());
        };
    }
    if (argc == 3) {  // fixed ports, as two copies that want the same ones
        conversation.SetPort(std::stoi(argv[1]));
        transfer.SetPort(std::stoi(argv[2]));
    }
    conversation.Open();
    transfer.Open();
    say("PORTS " + std::to_string(conversation.LocalPort()) + " " +
        std::to_string(transfer.LocalPort()));
    TPortMapOptions options;
    options.DiscoverMs = 1000;
    options.AddressQuietMs = 500;
    TPortMapper mapper([&](const std::string& line) { say("LOG " + line); }, options);
    std::string command;
    while (std::getline(std::cin, command)) {
        if (command == "listen") {
            mapper.SetPorts({conversation.LocalPort(), transfer.LocalPort()});
        } else if (command == "stop") {
            mapper.SetPorts({});
        } else if (command == "quit") {
            break;
        }
        mapper.WaitIdle(60000);
        const TMappingState state = mapper.State();
        std::string line = "READY " + std::string(state.Mapped ? "1" : "0") + " " +
                           (state.ExternalAddress.empty() ? "-" : state.ExternalAddress);
        for (const TMappedPort& port : state.Ports) {
            line += " " + std::to_string(port.Internal) + ":" + std::to_string(port.External);
        }
        say(line);
    }
    return 0;
}
