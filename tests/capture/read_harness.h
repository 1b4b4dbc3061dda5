// A stream's ReadQueue with everything around it that the read path will
// have, built by the test: the adapter and stream records as adapter
// initialisation and stream opening set them up, read requests as the
// stream class hands them over, a bus device below that completes or holds
// transfers, and read, completion and recording-worker routines that use
// the queue the way the driver's own do.
//
// The routines follow the queue's rules to the letter, so whatever goes
// wrong between a cancel and a completion is the queue's doing: a second
// completion or a completion of a linked request fails the test, a freed
// IRP that is cancelled or freed again stops it in the verifier, and a
// write to a completed request lands in freed pool.
#pragma once

#include "fake_streamclass.h"
#include "test_support.h"

#include <atomic>
#include <memory>

namespace cptest {

constexpr ULONG kUrbTag = sim::pool::Tag("Wdm ");
constexpr ULONG kBulkUrbTag = sim::pool::Tag("Vbq ");
constexpr ULONG kHarnessTag = sim::pool::Tag("Tcap");

// Bytes of each read's buffer, and the DataUsed a client's header comes with.
constexpr ULONG kFrameBytes = 188 * 8;
constexpr ULONG kClientDataUsed = 0x5A5A;

enum class TransferKind { Isochronous, Bulk };

// What the bus does with the next transfer it is sent.
enum class BusMode {
    CompleteAtOnce,      // inside IofCallDriver, at DISPATCH_LEVEL
    HoldCancelable,      // pending, with a cancel routine that completes it STATUS_CANCELLED
    HoldIgnoringCancel,  // pending, no cancel routine: it ends only when the test completes it
};

struct BusAction {
    BusMode mode = BusMode::CompleteAtOnce;
    NTSTATUS status = STATUS_SUCCESS;  // for CompleteAtOnce
    ULONG bytes = kFrameBytes;         // moved on success
};

class Bus {
public:
    Bus();
    ~Bus();
    Bus(const Bus &) = delete;
    Bus &operator=(const Bus &) = delete;

    PDEVICE_OBJECT get() const { return device_.get(); }
    // The action for every following transfer; Decide overrides it.
    void Set(BusAction action);
    void Set(BusMode mode, NTSTATUS status = STATUS_SUCCESS, ULONG bytes = kFrameBytes);
    std::function<BusAction()> Decide;

    std::size_t Held();
    // Completes every held transfer with status (bytes moved on success),
    // in this thread at DISPATCH_LEVEL, as the bus's own thread would.
    void CompleteHeld(NTSTATUS status, ULONG bytes = kFrameBytes);
    // Completes the held transfer at index pick % Held(); false if none.
    bool CompleteOne(std::size_t pick, NTSTATUS status, ULONG bytes = kFrameBytes);
    std::size_t CancelRoutineCalls() const { return cancelCalls_.load(); }
    std::size_t Transfers() const { return transfers_.load(); }

private:
    NTSTATUS Dispatch(PIRP irp);
    static VOID NTAPI CancelRoutine(PDEVICE_OBJECT device, PIRP irp);
    static void Finish(PIRP irp, NTSTATUS status, ULONG bytes);

    nvtest::TestDevice device_;
    std::mutex lock_;
    BusAction action_;
    struct HeldIrp {
        PIRP irp;
        bool cancelable;
    };
    std::vector<HeldIrp> held_;
    std::atomic<std::size_t> cancelCalls_{0};
    std::atomic<std::size_t> transfers_{0};
};

class ReadHarness;

// One read request and what the test's routines saw of it.
struct Read {
    ReadHarness *harness = nullptr;
    std::size_t id = 0;
    PHW_STREAM_REQUEST_BLOCK srb = nullptr;  // freed once completed
    TransferKind kind = TransferKind::Isochronous;
    bool recording = false;  // a successful transfer hands the frame on

    // The completion routine waits at its start until Release(); Entered()
    // tells that it got there.
    std::atomic<bool> gated{false};
    std::atomic<bool> entered{false};
    std::atomic<bool> released{false};
    void Release() { released = true; }
    bool WaitEntered();

    std::atomic<int> completionCalls{0};
    READ_END end{};                 // what VideoQueueTransferEnded told it
    bool sent = false;              // StartTransfer said send
    PIRP transfer = nullptr;        // the IRP it was sent with (freed since, perhaps)
    ULONG recordedBytes = 0;        // the frame handed to the worker
};

class ReadHarness {
public:
    ReadHarness();
    // Fails the test if a read was never completed or a transfer is still
    // held, and releases everything.
    ~ReadHarness();
    ReadHarness(const ReadHarness &) = delete;
    ReadHarness &operator=(const ReadHarness &) = delete;

    PADAPTER_EXTENSION adapter = nullptr;
    PSTREAM_EXTENSION stream = nullptr;
    PHW_STREAM_OBJECT streamObject = nullptr;
    Bus bus;

    Read &NewRead(TransferKind kind = TransferKind::Isochronous, bool recording = false);

    // The read routine in its two halves: queue the request, then build
    // and send its transfer (or finish the request when a canceller took
    // it meanwhile, or leave it queued when no transfer can be built).
    void Append(Read &r);
    void Send(Read &r);
    void Start(Read &r)
    {
        Append(r);
        Send(r);
    }
    // The second half when building the transfer failed.
    void SendFailed(Read &r);

    // The recording worker: takes a handed-on frame off the queue and
    // completes it. TRUE when it found it still queued.
    BOOLEAN WorkerFinish(Read &r);
    // Reads handed on and not yet taken by the worker.
    std::vector<Read *> TakeHandedOn();

    CompletionRecord Result(const Read &r);
    LONG Count() const { return adapter->ReadQueueCounts[0]; }
    // Transfer IRPs alive now: every IRP beyond the client IRPs of reads
    // not yet completed.
    std::size_t LiveTransfers();

private:
    PIRP BuildTransfer(Read &r);
    static NTSTATUS NTAPI ReadComplete(PDEVICE_OBJECT device, PIRP irp, PVOID context);
    void Release(PHW_STREAM_REQUEST_BLOCK srb);

    std::size_t irpsAtStart_ = 0;
    std::mutex lock_;
    std::vector<std::unique_ptr<Read>> reads_;
    std::vector<Read *> handedOn_;
};

// Status to text for failure messages.
std::string StatusText(NTSTATUS s);

}  // namespace cptest
