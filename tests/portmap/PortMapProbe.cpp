// A stand-in for the program in the router tests: it listens on two ports (conversation and
// transfer; free ones, or the two given as arguments), opens them on the router through TPortMapper
// and answers commands on its input:
//   listen   map both ports         stop   remove the mappings        quit   end
//   receive <partner> <size> <file>  receive a file on the transfer port (its plain listener
//                                    gives way), writing "RECEIVED <ok>"
// Run as "portmap_probe send <address> <port> <file>" it sends the file to a receiving probe
// instead and writes "SENT <ok>".
// It writes "PORTS <conversation> <transfer>" first, "LOG <line>" for each log line of the
// mapper (followed by " [<ports mapped as it is said>]"), "ACCEPT <address>" for each caller, and
// "READY <mapped> <address> <ports...>" once a command has been dealt with.
#include <atomic>
#include <iostream>
#include <mutex>
#include <sstream>
#include <string>

#include "net/ServerSocket.h"
#include "platform/Synchronizer.h"
#include "portmap/PortMapper.h"
#include "support/TransferTestSupport.h"
#include "transfer/DataClient.h"
#include "transfer/DataServer.h"

namespace {

// Runs a transfer's window calls until it has ended; true when it ended within a minute.
bool PumpUntilEnded(vox::TSynchronizer& sync, const vox::test::TFakeView& view) {
    return vox::test::PumpUntil(
        sync, [&] { return view.Ended > 0; }, 60000);
}

int Send(const std::string& address, int port, const std::string& file) {
    vox::TSynchronizer sync;
    vox::test::TFakeView view;
    const auto size = static_cast<std::int64_t>(vox::test::ReadFileBytes(file).size());
    vox::TTransferDataClient client(view, &sync, vox::TTransferJob{address, port, file, size, {}});
    client.Open();
    const bool ended = PumpUntilEnded(sync, view);
    client.Stop();
    for (const std::string& line : view.Logs) {
        std::cout << "LOG " << line << std::endl;
    }
    std::cout << "SENT " << (ended ? 1 : 0) << std::endl;
    return ended ? 0 : 1;
}

}  // namespace

int main(int argc, char** argv) {
    using namespace vox;
    if (argc == 5 && std::string(argv[1]) == "send") {
        return Send(argv[2], std::stoi(argv[3]), argv[4]);
    }
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
    // Each log line carries the number of ports State() gives as it is said: the window reads
    // the state when it shows a line.
    std::atomic<TPortMapper*> self{nullptr};
    TPortMapper mapper(
        [&](const std::string& line) {
            TPortMapper* mapperNow = self.load();
            say("LOG " + line + " [" +
                (mapperNow != nullptr ? std::to_string(mapperNow->State().Ports.size()) : "-") +
                "]");
        },
        options);
    self = &mapper;
    std::string command;
    while (std::getline(std::cin, command)) {
        if (command == "listen") {
            mapper.SetPorts({conversation.LocalPort(), transfer.LocalPort()});
        } else if (command == "stop") {
            mapper.SetPorts({});
        } else if (command == "quit") {
            break;
        } else if (command.rfind("receive ", 0) == 0) {
            std::istringstream words(command.substr(8));
            std::string partner;
            std::int64_t size = 0;
            std::string file;
            words >> partner >> size >> file;
            const int port = transfer.LocalPort();
            transfer.Close();
            TSynchronizer sync;
            test::TFakeView view;
            TTransferDataServer server(view, &sync, TTransferJob{partner, port, file, size, {}});
            server.Open();
            say("RECEIVING");
            const bool ended = PumpUntilEnded(sync, view);
            server.Close();
            for (const std::string& line : view.Logs) {
                say("LOG " + line);
            }
            say("RECEIVED " + std::string(ended ? "1" : "0"));
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
