// Cost of moving data through one channel of a port's virtual UART: one
// byte, and a 2048-byte block (the PTY side's read size). Both sides are
// bound but the port is not opened, so no thread runs and no trace is taken
// (level 0).
#include <benchmark/benchmark.h>

#include <cstdint>
#include <vector>

#include "daemon/ports/VirtualUART.h"
#include "daemon/ports/VirtualUARTChannel.h"
#include "daemon/ports/VirtualUARTClient.h"

namespace {

class SinkClient : public VirtualUARTClient {
  public:
    int ReceiveData(const uint8_t*, int length) override { return length; }
    int Transmit(int) override { return 0; }
    void SetBaudRate(int) override {}
    void SetFraming(int, int, int) override {}
    void PurgeReceive() override {}
    void PurgeTransmit() override {}
    void SetModemControl(unsigned, unsigned) override {}
    void ReportLineErrors(unsigned) override {}
    void SetFlowControl(unsigned) override {}
    bool OpenDevice(VirtualUART*) override { return true; }
    bool CloseDevice(VirtualUART*) override { return true; }
    void Unbind() override {}
};

void Through(benchmark::State& state, int length) {
    SinkClient driver;
    SinkClient device;
    VirtualUART uart("bench0");
    uart.AttachDriver(&driver, 0);
    uart.AttachDevice(&device);
    std::vector<uint8_t> block(static_cast<size_t>(length), 0xA5);
    VirtualUARTChannel& channel = uart.ToDevice();
    for (auto _ : state) {
        benchmark::DoNotOptimize(channel.Write(block.data(), length));
    }
    state.SetBytesProcessed(static_cast<int64_t>(state.iterations()) * length);
    uart.DetachDevice(&device);
    uart.DetachDriver(&driver);
}

void BM_ChannelOneByte(benchmark::State& state) {
    Through(state, 1);
}
void BM_ChannelBlock2048(benchmark::State& state) {
    Through(state, 2048);
}

BENCHMARK(BM_ChannelOneByte);
BENCHMARK(BM_ChannelBlock2048);

}  // namespace

BENCHMARK_MAIN();
