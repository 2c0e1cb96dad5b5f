// Cost of carrying data through two LinuxSockets on one event loop over
// loopback: an echo round trip of a small block (the latency a keystroke
// sees through the loop and the interest-based flow control), and bulk
// transfer in 16-bit-length writes (the throughput of a busy port).
#include <benchmark/benchmark.h>
#include <sys/socket.h>

#include <memory>
#include <vector>

#include "common/runtime/KtTimerGroup.h"
#include "common/runtime/LinuxSocket.h"
#include "common/runtime/LinuxSocketListener.h"
#include "common/runtime/SelectManager.h"

namespace {

// One end of the pair: counts what it reads and optionally echoes it.
class End : public TCPDataClient {
  public:
    void OnWritable() override {}
    void OnReadable() override {
        for (;;) {
            int n = socket->Read(buffer.data(), static_cast<uint16_t>(buffer.size()));
            if (n <= 0) {
                return;
            }
            received += n;
            if (echo) {
                socket->Write(buffer.data(), static_cast<uint16_t>(n));
            }
        }
    }
    void OnError(const char*) override {}
    void OnClose(int) override {}
    void OnConnect(int result, const IPAddress*, uint16_t) override {
        connected = result == 0;
        socket->EnableEvents(1, 0);
    }

    LinuxSocket* socket = nullptr;
    std::vector<char> buffer = std::vector<char>(65535);
    long received = 0;
    bool echo = false;
    bool connected = false;
};

class Pair : public TCPListenerClient {
  public:
    Pair() : listener(&manager, this), near(&manager, &nearEnd), far(&manager, &farEnd) {
        nearEnd.socket = &near;
        farEnd.socket = &far;
        listener.Listen(0);
        near.ConnectAsync("127.0.0.1", listener.GetPort());
        while (!(nearEnd.connected && farEnd.connected)) {
            manager.Poll(10);
        }
    }
    TCPDataServer* CreateDataClient(TCPListener*, const IPAddress*, const IPAddress*) override {
        return &far;
    }
    void RunUntilNearHas(long total) {
        while (nearEnd.received < total) {
            manager.Poll(100);
        }
    }
    void RunUntilFarHas(long total) {
        while (farEnd.received < total) {
            manager.Poll(100);
        }
    }

    KtTimerGroup group;
    SelectManager manager{&group};
    LinuxSocketListener listener;
    End nearEnd, farEnd;
    LinuxSocket near, far;
};

void BM_EchoRoundTrip(benchmark::State& state) {
    Pair pair;
    pair.farEnd.echo = true;
    std::vector<char> block(static_cast<size_t>(state.range(0)), 'x');
    for (auto _ : state) {
        long before = pair.nearEnd.received;
        pair.near.Write(block.data(), static_cast<uint16_t>(block.size()));
        pair.RunUntilNearHas(before + static_cast<long>(block.size()));
    }
    state.SetBytesProcessed(state.iterations() * state.range(0));
}
BENCHMARK(BM_EchoRoundTrip)->Arg(16)->Arg(1024);

void BM_BulkTransfer(benchmark::State& state) {
    Pair pair;
    std::vector<char> block(65535, 'x');
    long sent = 0;
    for (auto _ : state) {
        int n = pair.near.Write(block.data(), static_cast<uint16_t>(block.size()));
        if (n > 0) {
            sent += n;
        }
        pair.manager.Poll(0);
    }
    pair.RunUntilFarHas(sent);
    state.SetBytesProcessed(sent);
}
BENCHMARK(BM_BulkTransfer);

// One byte from the peer to a reading client whose interest never changes:
// the dispatch latency of the loop itself, without wake-up signals.
void BM_ReadDispatch(benchmark::State& state) {
    Pair pair;
    pair.far.Write("x", 1);
    pair.RunUntilNearHas(1);
    for (auto _ : state) {
        long before = pair.nearEnd.received;
        // Sent past the socket, so that no interest changes and nothing
        // signals the loop's wake-up pipe.
        send(pair.far.GetDescriptor(), "x", 1, MSG_NOSIGNAL);
        pair.RunUntilNearHas(before + 1);
    }
}
BENCHMARK(BM_ReadDispatch);

}  // namespace

BENCHMARK_MAIN();
