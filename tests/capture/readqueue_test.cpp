// The ReadQueue: its four operations and their messages, and every
// interleaving of a cancel with the life of a read, forced one at a time:
// before the transfer exists, while the bus holds it, during its
// completion, after it, after a status that leaves the request queued,
// without a transfer, and while the frame waits for the recording worker.
//
// Each case ends with every read completed exactly once (the recorder
// fails a second completion), no transfer IRP alive, nothing leaked (the
// test main), and no verifier fault (which would stop the run).

#include "read_harness.h"

#include <gtest/gtest.h>

#include <cstdio>
#include <string>
#include <thread>

using cptest::BusMode;
using cptest::kFrameBytes;
using cptest::Read;
using cptest::ReadHarness;
using cptest::TransferKind;

namespace {

const TransferKind kKinds[] = {TransferKind::Isochronous, TransferKind::Bulk};

const char *KindName(TransferKind k)
{
    return k == TransferKind::Isochronous ? "isochronous" : "bulk";
}

std::string P(const void *p)
{
    char buf[32];
    std::snprintf(buf, sizeof buf, "%0*llX", int(2 * sizeof(void *)),
                  static_cast<unsigned long long>(reinterpret_cast<uintptr_t>(p)));
    return buf;
}

std::string X(const void *p)
{
    char buf[16];
    std::snprintf(buf, sizeof buf, "%x", unsigned(reinterpret_cast<uintptr_t>(p)));
    return buf;
}

PLIST_ENTRY LinkOf(const Read &r)
{
    return &r.srb->Irp->Tail.Overlay.ListEntry;
}

const std::string kRemoveEmpty = "VORLA:   - VideoQueueRemoveOneSRB StreamSRBList Empty\n";
std::string RemoveDone(const Read &r)
{
    return "VORLA:   - VideoQueueRemoveOneSRB Completed Stream=0, pSrb = " + X(r.srb) + "\n";
}
const std::string kCancelOneEnter = "VORLA:   + VideoQueueCancelOneSRB Stream=0\n";
const std::string kCancelOneEmpty = "VORLA:   - VideoQueueCancelOneSRB StreamSRBList Empty\n";
std::string CancelOneEntry(const Read &r)
{
    return "VORLA:   + VideoQueueCancelOneSRB Entry=" + P(LinkOf(r)) + "\n";
}
std::string CancelOneFound(const Read &r, PIRP irp)
{
    return "VORLA:      VideoQueueCancelOneSRB FOUND Srb=" + P(r.srb) + ", Begin cancel Irp=" + P(irp) + "\n";
}
std::string CancelOneResult(const Read &r, bool cancelled)
{
    return "VORLA:      VideoQueueCancelOneSRB FOUND Srb=" + P(r.srb) + ", bCancelResult=" +
           (cancelled ? "1" : "0") + "\n";
}
const std::string kCancelAllEnter = "\nVORLA: + VideoQueueCancelAllSRBs\n";
const std::string kCancelAllEntry = "VORLA:   - VideoQueueCancelAllSRBs StreamSRBList=";
const std::string kCancelAllDone = "VORLA: - VideoQueueCancelAllSRB Completed\n";

// The log, if level reaches the threshold; else nothing.
std::string At(ULONG level, ULONG threshold, const std::string &text)
{
    return level >= threshold ? text : std::string();
}

// A request that never reaches the queue is completed by the data routine
// itself (a read in pause, say).
void CompleteUnqueued(Read &r)
{
    r.srb->Status = STATUS_SUCCESS;
    CompleteStreamRequest(r.srb);
}

void ExpectResult(ReadHarness &h, const Read &r, NTSTATUS status, ULONG dataUsed)
{
    const cptest::CompletionRecord c = h.Result(r);
    EXPECT_EQ(c.completions, 1) << "read " << r.id;
    EXPECT_EQ(c.status, status) << "read " << r.id << " completed with " << cptest::StatusText(c.status);
    EXPECT_EQ(c.dataUsed, dataUsed) << "read " << r.id;
}

void ExpectPending(ReadHarness &h, const Read &r)
{
    EXPECT_EQ(h.Result(r).completions, 0) << "read " << r.id << " completed too early";
}

// A queued read whose transfer could not be built (no URB memory).
void StartWithoutTransfer(ReadHarness &h, Read &r)
{
    nvtest::InjectionScope injection;
    sim::pool::FailTag(r.kind == TransferKind::Isochronous ? cptest::kUrbTag : cptest::kBulkUrbTag);
    h.Start(r);
}

class ReadQueueTest : public testing::Test {
protected:
    void SetUp() override
    {
        DebugLevel = 0;
        sim::debug::ClearLog();
    }
    void TearDown() override { DebugLevel = 0; }
};

// ---------------------------------------------------------------------------
// The operations and their messages

TEST_F(ReadQueueTest, RemoveOneMessagesAtEveryLevel)
{
    for (ULONG level = 0; level <= 3; level++) {
        SCOPED_TRACE(testing::Message() << "DebugLevel " << level);
        sim::debug::ClearLog();
        ReadHarness h;
        Read &queued = h.NewRead();
        Read &other = h.NewRead();
        Read &recorded = h.NewRead(TransferKind::Isochronous, true);
        DebugLevel = level;

        sim::debug::ClearLog();
        EXPECT_FALSE(VideoQueueRemoveOneSRB(h.stream, other.srb));
        EXPECT_EQ(sim::debug::Log(), At(level, 1, kRemoveEmpty));

        h.Append(queued);
        EXPECT_EQ(sim::debug::Log(), At(level, 1, kRemoveEmpty)) << "appending prints nothing";
        sim::debug::ClearLog();
        EXPECT_FALSE(VideoQueueRemoveOneSRB(h.stream, other.srb));
        EXPECT_EQ(sim::debug::Log(), At(level, 3, RemoveDone(other)));
        EXPECT_EQ(h.Count(), 1);
        EXPECT_EQ(other.srb->Status, STATUS_PENDING);
        CompleteUnqueued(other);

        // Found: the recording worker takes its frame off the queue.
        h.bus.Set(BusMode::CompleteAtOnce, STATUS_SUCCESS, 100);
        h.Start(recorded);
        EXPECT_EQ(h.Count(), 2);
        sim::debug::ClearLog();
        const std::string expected = At(level, 3, RemoveDone(recorded));
        EXPECT_TRUE(h.WorkerFinish(recorded));
        EXPECT_EQ(sim::debug::Log(), expected);
        EXPECT_EQ(h.Count(), 1);
        ExpectResult(h, recorded, STATUS_SUCCESS, 100);

        h.bus.Set(BusMode::CompleteAtOnce);
        h.Send(queued);
        ExpectResult(h, queued, STATUS_SUCCESS, kFrameBytes);
        EXPECT_EQ(h.Count(), 0);
    }
}

TEST_F(ReadQueueTest, CancelOneMessagesAtEveryLevelAndARequestNotQueuedIsLeftAlone)
{
    for (ULONG level = 0; level <= 3; level++) {
        SCOPED_TRACE(testing::Message() << "DebugLevel " << level);
        sim::debug::ClearLog();
        ReadHarness h;
        Read &first = h.NewRead();
        Read &second = h.NewRead();
        Read &absent = h.NewRead();
        DebugLevel = level;

        EXPECT_FALSE(VideoQueueCancelOneSRB(h.stream, absent.srb));
        EXPECT_EQ(sim::debug::Log(), At(level, 3, kCancelOneEnter + kCancelOneEmpty));

        h.bus.Set(BusMode::HoldCancelable);
        h.Start(first);
        h.Start(second);
        sim::debug::ClearLog();
        EXPECT_FALSE(VideoQueueCancelOneSRB(h.stream, absent.srb));
        EXPECT_EQ(sim::debug::Log(), At(level, 3, kCancelOneEnter + CancelOneEntry(first) + CancelOneEntry(second)));
        EXPECT_EQ(absent.srb->Status, STATUS_PENDING);
        EXPECT_EQ(absent.srb->CommandData.DataBufferArray->DataUsed, cptest::kClientDataUsed);
        EXPECT_EQ(h.Count(), 2);
        EXPECT_EQ(h.bus.CancelRoutineCalls(), 0u);

        // The stream class's cancel entry point finds nothing either.
        {
            nvtest::RaisedIrql dispatch(DISPATCH_LEVEL);
            CancelRequest(absent.srb);
        }
        EXPECT_EQ(absent.srb->Status, STATUS_PENDING);
        EXPECT_EQ(h.bus.CancelRoutineCalls(), 0u);
        CompleteUnqueued(absent);

        sim::debug::ClearLog();
        const std::string expected = At(level, 3,
                                        kCancelOneEnter + CancelOneEntry(first) + CancelOneEntry(second) +
                                            CancelOneFound(second, second.transfer) + CancelOneResult(second, true));
        EXPECT_TRUE(VideoQueueCancelOneSRB(h.stream, second.srb));
        EXPECT_EQ(sim::debug::Log(), expected);
        ExpectResult(h, second, STATUS_SUCCESS, 0);

        h.bus.CompleteHeld(STATUS_SUCCESS);
        ExpectResult(h, first, STATUS_SUCCESS, kFrameBytes);
    }
}

TEST_F(ReadQueueTest, CancelAllMessagesAtEveryLevel)
{
    for (ULONG level = 0; level <= 3; level++) {
        SCOPED_TRACE(testing::Message() << "DebugLevel " << level);
        sim::debug::ClearLog();
        ReadHarness h;
        DebugLevel = level;
        VideoQueueCancelAllSRBs(h.stream);
        EXPECT_EQ(sim::debug::Log(), At(level, 1, kCancelAllEnter + kCancelAllDone));

        Read &held = h.NewRead();
        Read &unsent = h.NewRead();
        h.bus.Set(BusMode::HoldCancelable);
        h.Start(held);
        h.Append(unsent);
        sim::debug::ClearLog();
        VideoQueueCancelAllSRBs(h.stream);
        const std::string log = sim::debug::Log();
        if (level == 0) {
            EXPECT_EQ(log, "");
        } else {
            // The transfer it cancels is named; a request without one names none.
            const std::string expected =
                kCancelAllEnter + kCancelAllEntry + P(held.transfer) + "\n" + kCancelAllEntry + P(nullptr) + "\n" +
                kCancelAllDone;
            EXPECT_EQ(log, expected);
        }
        ExpectResult(h, held, STATUS_SUCCESS, 0);
        ExpectPending(h, unsent);
        h.Send(unsent);
        ExpectResult(h, unsent, STATUS_CANCELLED, 0);
    }
}

TEST_F(ReadQueueTest, CountFollowsAppendsAndRemovals)
{
    ReadHarness h;
    Read *reads[4];
    for (Read *&r : reads) {
        r = &h.NewRead();
        h.Append(*r);
    }
    EXPECT_EQ(h.Count(), 4);
    h.bus.Set(BusMode::CompleteAtOnce);
    h.Send(*reads[2]);  // finished by its transfer
    EXPECT_EQ(h.Count(), 3);
    EXPECT_TRUE(VideoQueueCancelOneSRB(h.stream, reads[0]->srb));
    EXPECT_EQ(h.Count(), 2);
    EXPECT_FALSE(VideoQueueCancelOneSRB(h.stream, reads[0]->srb));
    EXPECT_EQ(h.Count(), 2);
    h.Send(*reads[0]);
    VideoQueueCancelAllSRBs(h.stream);
    EXPECT_EQ(h.Count(), 0);
    h.Send(*reads[1]);
    h.Send(*reads[3]);
    ExpectResult(h, *reads[2], STATUS_SUCCESS, kFrameBytes);
    for (int i : {0, 1, 3})
        ExpectResult(h, *reads[i], STATUS_CANCELLED, 0);
    EXPECT_EQ(h.bus.Transfers(), 1u);
}

TEST_F(ReadQueueTest, CancelAllTakesTheOldestFirst)
{
    ReadHarness h;
    std::vector<Read *> reads;
    for (int i = 0; i < 6; i++) {
        reads.push_back(&h.NewRead(kKinds[i % 2]));
        StartWithoutTransfer(h, *reads.back());
    }
    EXPECT_EQ(h.Count(), 6);
    for (Read *r : reads)
        ExpectPending(h, *r);
    VideoQueueCancelAllSRBs(h.stream);
    EXPECT_EQ(h.Count(), 0);
    const std::vector<std::size_t> order = cptest::StreamCompletions::Instance().Order();
    ASSERT_EQ(order.size(), reads.size());
    for (std::size_t i = 0; i < reads.size(); i++) {
        EXPECT_EQ(order[i], reads[i]->id);
        ExpectResult(h, *reads[i], STATUS_CANCELLED, 0);
    }
}

// ---------------------------------------------------------------------------
// Cancel against the life of a read

enum class Canceller { CancelOne, CancelEntryPoint, CancelAll };

const struct {
    const char *name;
    Canceller how;
} kCancellers[] = {
    {"VideoQueueCancelOneSRB", Canceller::CancelOne},
    {"CancelRequest", Canceller::CancelEntryPoint},
    {"VideoQueueCancelAllSRBs", Canceller::CancelAll},
};

void Cancel(ReadHarness &h, Read &r, Canceller how)
{
    // The stream class cancels at DISPATCH_LEVEL; the others may too.
    nvtest::RaisedIrql dispatch(DISPATCH_LEVEL);
    switch (how) {
    case Canceller::CancelOne:
        EXPECT_TRUE(VideoQueueCancelOneSRB(h.stream, r.srb));
        break;
    case Canceller::CancelEntryPoint:
        CancelRequest(r.srb);
        break;
    case Canceller::CancelAll:
        VideoQueueCancelAllSRBs(h.stream);
        break;
    }
}

TEST_F(ReadQueueTest, CancelBeforeTheTransferExistsFinishesWithoutSendingIt)
{
    for (const auto &c : kCancellers) {
        for (TransferKind kind : kKinds) {
            SCOPED_TRACE(testing::Message() << c.name << ", " << KindName(kind));
            ReadHarness h;
            Read &r = h.NewRead(kind);
            h.Append(r);
            // Its transfer field still holds whatever the class left there:
            // cancelling it would stop the run in the verifier.
            Cancel(h, r, c.how);
            ExpectPending(h, r);
            EXPECT_EQ(r.srb->Status, STATUS_CANCELLED);
            EXPECT_EQ(r.srb->CommandData.DataBufferArray->DataUsed, 0u);
            EXPECT_EQ(h.Count(), 0);

            h.Send(r);
            EXPECT_FALSE(r.sent);
            ExpectResult(h, r, STATUS_CANCELLED, 0);
            EXPECT_EQ(h.bus.Transfers(), 0u);
            EXPECT_EQ(h.LiveTransfers(), 0u);
        }
    }
}

TEST_F(ReadQueueTest, CancelWhileTheBusHoldsTheTransfer)
{
    const struct {
        const char *name;
        BusMode mode;
        NTSTATUS laterStatus;  // when the bus ignores the cancel
        ULONG dataUsed;
        bool cancellerFrees;
    } cases[] = {
        {"bus completes it in its cancel routine", BusMode::HoldCancelable, 0, 0, true},
        {"bus ignores the cancel, then fails it cancelled", BusMode::HoldIgnoringCancel, STATUS_CANCELLED, 0, false},
        {"bus ignores the cancel, then it succeeds", BusMode::HoldIgnoringCancel, STATUS_SUCCESS, kFrameBytes, false},
    };
    for (const auto &c : cases) {
        for (const auto &who : kCancellers) {
            for (TransferKind kind : kKinds) {
                SCOPED_TRACE(testing::Message() << c.name << ", " << who.name << ", " << KindName(kind));
                ReadHarness h;
                Read &r = h.NewRead(kind);
                h.bus.Set(c.mode);
                h.Start(r);
                ASSERT_TRUE(r.sent);
                EXPECT_EQ(h.bus.Held(), 1u);
                Cancel(h, r, who.how);
                EXPECT_EQ(h.Count(), 0);
                if (c.mode == BusMode::HoldIgnoringCancel) {
                    ExpectPending(h, r);
                    EXPECT_EQ(h.LiveTransfers(), 1u);
                    h.bus.CompleteHeld(c.laterStatus);
                } else {
                    EXPECT_EQ(h.bus.CancelRoutineCalls(), 1u);
                }
                ExpectResult(h, r, STATUS_SUCCESS, c.dataUsed);
                EXPECT_EQ(r.completionCalls.load(), 1);
                // Whoever dropped the last reference freed it, once.
                EXPECT_EQ(bool(r.end.FreeTransfer), !c.cancellerFrees);
                EXPECT_EQ(h.LiveTransfers(), 0u);
            }
        }
    }
}

TEST_F(ReadQueueTest, CancelDuringTheCompletionOnAnotherThread)
{
    const struct {
        const char *name;
        NTSTATUS status;
        bool recording;
        NTSTATUS expectedStatus;
        ULONG dataUsed;
    } cases[] = {
        // The transfer had ended: its result stands.
        {"success", STATUS_SUCCESS, false, STATUS_SUCCESS, kFrameBytes},
        {"cancelled", STATUS_CANCELLED, false, STATUS_SUCCESS, 0},
        {"device gone", STATUS_DEVICE_NOT_CONNECTED, false, STATUS_SUCCESS, 0},
        // The request was to stay queued or go to the worker, but a
        // canceller has it: nothing else would finish it.
        {"success while recording", STATUS_SUCCESS, true, STATUS_CANCELLED, 0},
        {"a status that leaves it queued", STATUS_TIMEOUT, false, STATUS_CANCELLED, 0},
    };
    for (const auto &c : cases) {
        for (TransferKind kind : kKinds) {
            SCOPED_TRACE(testing::Message() << c.name << ", " << KindName(kind));
            ReadHarness h;
            Read &r = h.NewRead(kind, c.recording);
            r.gated = true;
            h.bus.Set(BusMode::HoldCancelable);
            h.Start(r);
            std::thread busThread([&] { h.bus.CompleteHeld(c.status); });
            if (!r.WaitEntered()) {
                r.Release();
                busThread.join();
                continue;
            }
            {
                nvtest::RaisedIrql dispatch(DISPATCH_LEVEL);
                EXPECT_TRUE(VideoQueueCancelOneSRB(h.stream, r.srb));
            }
            ExpectPending(h, r);
            EXPECT_EQ(h.bus.CancelRoutineCalls(), 0u);
            r.Release();
            busThread.join();
            EXPECT_TRUE(h.TakeHandedOn().empty());
            ExpectResult(h, r, c.expectedStatus, c.dataUsed);
            EXPECT_EQ(r.completionCalls.load(), 1);
            EXPECT_TRUE(r.end.FreeTransfer) << "the completion dropped the last reference";
            EXPECT_EQ(h.LiveTransfers(), 0u);
        }
    }
}

TEST_F(ReadQueueTest, CancelAfterTheCompletionFindsNothing)
{
    const struct {
        const char *name;
        BusMode mode;
        bool recording;
    } cases[] = {
        {"completed inside IofCallDriver", BusMode::CompleteAtOnce, false},
        {"completed later by the bus", BusMode::HoldCancelable, false},
        {"recorded and completed by the worker", BusMode::CompleteAtOnce, true},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        ReadHarness h;
        Read &waiting = h.NewRead();
        StartWithoutTransfer(h, waiting);
        Read &r = h.NewRead(TransferKind::Bulk, c.recording);
        h.bus.Set(c.mode);
        h.Start(r);
        if (c.mode != BusMode::CompleteAtOnce) {
            std::thread busThread([&] { h.bus.CompleteHeld(STATUS_SUCCESS); });
            busThread.join();
        }
        for (Read *handed : h.TakeHandedOn())
            EXPECT_TRUE(h.WorkerFinish(*handed));
        ExpectResult(h, r, STATUS_SUCCESS, kFrameBytes);

        // Only the request's address is left; its IRP is freed.
        const std::size_t completions = cptest::StreamCompletions::Instance().Order().size();
        EXPECT_FALSE(VideoQueueCancelOneSRB(h.stream, r.srb));
        EXPECT_EQ(cptest::StreamCompletions::Instance().Order().size(), completions);
        EXPECT_EQ(waiting.srb->Status, STATUS_PENDING);
        EXPECT_EQ(h.Count(), 1);

        EXPECT_TRUE(VideoQueueCancelOneSRB(h.stream, waiting.srb));
        ExpectResult(h, waiting, STATUS_CANCELLED, 0);
    }
}

TEST_F(ReadQueueTest, AStatusThatLeavesTheRequestQueuedIsFinishedByItsCancel)
{
    for (NTSTATUS status : {STATUS_TIMEOUT, STATUS_INVALID_PARAMETER, STATUS_INSUFFICIENT_RESOURCES}) {
        for (BusMode mode : {BusMode::CompleteAtOnce, BusMode::HoldIgnoringCancel}) {
            for (const auto &who : kCancellers) {
                SCOPED_TRACE(testing::Message() << cptest::StatusText(status) << ", mode " << int(mode) << ", "
                                                << who.name);
                ReadHarness h;
                Read &r = h.NewRead(TransferKind::Bulk);
                h.bus.Set(mode, status);
                h.Start(r);
                if (mode != BusMode::CompleteAtOnce) {
                    std::thread busThread([&] { h.bus.CompleteHeld(status); });
                    busThread.join();
                }
                EXPECT_TRUE(r.end.FreeTransfer);
                EXPECT_EQ(h.LiveTransfers(), 0u);
                EXPECT_EQ(h.Count(), 1);
                ExpectPending(h, r);

                Cancel(h, r, who.how);
                ExpectResult(h, r, STATUS_CANCELLED, 0);
                EXPECT_EQ(h.Count(), 0);
                EXPECT_FALSE(VideoQueueCancelOneSRB(h.stream, r.srb));
                VideoQueueCancelAllSRBs(h.stream);
                EXPECT_EQ(h.Result(r).completions, 1);
            }
        }
    }
}

TEST_F(ReadQueueTest, ATransferThatCannotBeBuiltLeavesTheRequestToItsCancel)
{
    const struct {
        const char *name;
        TransferKind kind;
        ULONG failTag;
    } cases[] = {
        {"no isochronous URB", TransferKind::Isochronous, cptest::kUrbTag},
        {"no bulk URB", TransferKind::Bulk, cptest::kBulkUrbTag},
        {"no transfer IRP", TransferKind::Bulk, sim::pool::Tag("Irp ")},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(c.name);
        {
            ReadHarness h;
            Read &r = h.NewRead(c.kind);
            {
                nvtest::InjectionScope injection;
                sim::pool::FailTag(c.failTag);
                h.Start(r);
            }
            EXPECT_FALSE(r.sent);
            EXPECT_EQ(h.Count(), 1);
            ExpectPending(h, r);
            EXPECT_TRUE(VideoQueueCancelOneSRB(h.stream, r.srb));
            ExpectResult(h, r, STATUS_CANCELLED, 0);
            EXPECT_EQ(h.LiveTransfers(), 0u);
        }
        {
            // Cancelled between queuing and the failed attempt.
            ReadHarness h;
            Read &r = h.NewRead(c.kind);
            h.Append(r);
            EXPECT_TRUE(VideoQueueCancelOneSRB(h.stream, r.srb));
            ExpectPending(h, r);
            {
                nvtest::InjectionScope injection;
                sim::pool::FailTag(c.failTag);
                h.Send(r);
            }
            ExpectResult(h, r, STATUS_CANCELLED, 0);
            EXPECT_EQ(h.bus.Transfers(), 0u);
        }
    }
}

TEST_F(ReadQueueTest, ARecordedFrameIsFinishedByTheWorkerCancelledOrNot)
{
    for (bool cancelled : {false, true}) {
        for (const auto &who : kCancellers) {
            if (!cancelled && who.how != Canceller::CancelOne)
                continue;
            SCOPED_TRACE(testing::Message() << (cancelled ? who.name : "not cancelled"));
            ReadHarness h;
            Read &r = h.NewRead(TransferKind::Isochronous, true);
            h.bus.Set(BusMode::CompleteAtOnce, STATUS_SUCCESS, 1000);
            h.Start(r);
            std::vector<Read *> handed = h.TakeHandedOn();
            ASSERT_EQ(handed.size(), 1u);
            EXPECT_EQ(h.Count(), 1);
            EXPECT_EQ(h.LiveTransfers(), 0u) << "the transfer is freed before the frame is written";
            if (cancelled) {
                Cancel(h, r, who.how);
                // Marked, not completed: the worker still has the frame.
                ExpectPending(h, r);
                EXPECT_EQ(r.srb->Status, STATUS_CANCELLED);
                EXPECT_EQ(h.Count(), 0);
            }
            EXPECT_EQ(bool(h.WorkerFinish(r)), !cancelled);
            if (cancelled)
                ExpectResult(h, r, STATUS_CANCELLED, 0);
            else
                ExpectResult(h, r, STATUS_SUCCESS, 1000);
        }
    }
}

TEST_F(ReadQueueTest, CancelAllOverReadsInEveryState)
{
    ReadHarness h;
    Read &unsent = h.NewRead();
    Read &heldCancelable = h.NewRead(TransferKind::Bulk);
    Read &heldStubborn = h.NewRead();
    Read &noTransfer = h.NewRead(TransferKind::Bulk);
    Read &notStarted = h.NewRead();
    Read &recorded = h.NewRead(TransferKind::Isochronous, true);
    Read &done = h.NewRead();

    h.bus.Set(BusMode::CompleteAtOnce);
    h.Start(done);
    h.Append(unsent);
    h.bus.Set(BusMode::HoldCancelable);
    h.Start(heldCancelable);
    h.bus.Set(BusMode::HoldIgnoringCancel);
    h.Start(heldStubborn);
    h.bus.Set(BusMode::CompleteAtOnce, STATUS_TIMEOUT);
    h.Start(noTransfer);
    StartWithoutTransfer(h, notStarted);
    h.bus.Set(BusMode::CompleteAtOnce, STATUS_SUCCESS);
    h.Start(recorded);
    EXPECT_EQ(h.Count(), 6);

    {
        nvtest::RaisedIrql dispatch(DISPATCH_LEVEL);
        VideoQueueCancelAllSRBs(h.stream);
    }
    EXPECT_EQ(h.Count(), 0);
    // Finished at once, oldest first: what the cancel alone can finish.
    const std::vector<std::size_t> order = cptest::StreamCompletions::Instance().Order();
    const std::vector<std::size_t> expected = {done.id, heldCancelable.id, noTransfer.id, notStarted.id};
    EXPECT_EQ(order, expected);
    for (Read *r : {&unsent, &heldStubborn, &recorded})
        ExpectPending(h, *r);

    // The rest by whoever holds them.
    h.Send(unsent);
    h.bus.CompleteHeld(STATUS_CANCELLED);
    for (Read *r : h.TakeHandedOn())
        EXPECT_FALSE(h.WorkerFinish(*r));

    ExpectResult(h, done, STATUS_SUCCESS, kFrameBytes);
    ExpectResult(h, unsent, STATUS_CANCELLED, 0);
    ExpectResult(h, heldCancelable, STATUS_SUCCESS, 0);
    ExpectResult(h, heldStubborn, STATUS_SUCCESS, 0);
    ExpectResult(h, noTransfer, STATUS_CANCELLED, 0);
    ExpectResult(h, notStarted, STATUS_CANCELLED, 0);
    ExpectResult(h, recorded, STATUS_CANCELLED, 0);
    EXPECT_EQ(h.LiveTransfers(), 0u);
}

}  // namespace
