// IRPs: allocation, IofCallDriver, the completion walk, cancellation, and
// the I/O manager's own synchronous requests.
//
// Every IRP the kernel hands out is recorded in a table until it is freed,
// so the stand-in can say "this IRP is dead" before touching its memory:
// completing, sending, cancelling or freeing a dead IRP is a fault the real
// platform cannot always catch and the stand-in always does.
//
// Each stack location keeps a pass number: IofCallDriver starts a new pass
// on the location it makes current, and the completion walk closes it. The
// pending rules (STATUS_PENDING returned if and only if the location was
// marked pending) are checked when both the dispatch routine has returned
// and the walk has passed the location, whichever comes last, because a
// completion routine may legitimately mark the location above it after that
// driver's dispatch routine returned STATUS_PENDING.

#include "kernel_internal.h"

#include <memory>
#include <mutex>
#include <unordered_map>
#include <vector>

using sim::VerifierFault;

namespace {

struct LocationState {
    unsigned pass = 0;           // incremented by IofCallDriver
    unsigned completedPass = 0;  // the pass the completion walk last closed
    bool pendingReturned = false;
    unsigned returnedPass = 0;   // the pass whose dispatch routine returned
    NTSTATUS returnedStatus = 0;
};

struct IrpRecord {
    PIRP irp = nullptr;
    bool ioManager = false;          // built by IoBuildDeviceIoControlRequest
    PVOID userOutput = nullptr;      // METHOD_BUFFERED output to copy back
    ULONG outputLength = 0;
    std::mutex lock;                 // guards locations and cancellers
    std::vector<LocationState> locations;
    std::vector<const void *> cancellers;  // threads inside IoCancelIrp
};

using RecordPtr = std::shared_ptr<IrpRecord>;

struct IrpTable {
    std::mutex lock;
    std::unordered_map<PIRP, RecordPtr> irps;
};

IrpTable &Table()
{
    static IrpTable *t = new IrpTable;
    return *t;
}

const ULONG kIrpTag = sim::pool::Tag("Irp ");
const ULONG kSystemBufferTag = sim::pool::Tag("SysB");

KSPIN_LOCK g_cancelSpinLock;

// Cancel routines are set and taken with interlocked exchanges, from any
// thread; the checks read them the same way.
PDRIVER_CANCEL CancelRoutineOf(PIRP irp)
{
    return __atomic_load_n(&irp->CancelRoutine, __ATOMIC_SEQ_CST);
}

const void *ThisThread()
{
    return KeGetCurrentThread();
}

RecordPtr FindLocked(PIRP irp, const char *who)
{
    auto it = Table().irps.find(irp);
    if (it == Table().irps.end())
        VerifierFault("IRP_USED_AFTER_FREE", "%s(%p): not a live IRP (already freed, or never allocated)", who,
                      static_cast<void *>(irp));
    return it->second;
}

RecordPtr Find(PIRP irp, const char *who)
{
    std::lock_guard<std::mutex> g(Table().lock);
    return FindLocked(irp, who);
}

PIO_STACK_LOCATION Locations(PIRP irp)
{
    return reinterpret_cast<PIO_STACK_LOCATION>(irp + 1);
}

void InitializeIrp(PIRP irp, USHORT size, CCHAR stackSize)
{
    RtlZeroMemory(irp, size);
    irp->Type = IO_TYPE_IRP;
    irp->Size = size;
    irp->StackCount = stackSize;
    irp->CurrentLocation = CHAR(stackSize + 1);
    irp->RequestorMode = KernelMode;
    InitializeListHead(&irp->ThreadListEntry);
    irp->Tail.Overlay.CurrentStackLocation = Locations(irp) + stackSize;
}

PIRP AllocateIrp(CCHAR stackSize, const void *caller, const char *who, bool ioManager)
{
    sim::hal::RequireIrqlAtMost(DISPATCH_LEVEL, who);
    if (stackSize < 1)
        VerifierFault("BAD_IRP_STACK_SIZE", "%s: an IRP needs at least one stack location (asked for %d)", who,
                      int(stackSize));
    const USHORT size = IoSizeOfIrp(stackSize);
    auto irp = static_cast<PIRP>(sim::kernel::AllocateBlock(NonPagedPool, size, kIrpTag, caller, who));
    if (irp == NULL)
        return NULL;
    InitializeIrp(irp, size, stackSize);
    auto rec = std::make_shared<IrpRecord>();
    rec->irp = irp;
    rec->ioManager = ioManager;
    rec->locations.resize(std::size_t(stackSize));
    std::lock_guard<std::mutex> g(Table().lock);
    Table().irps[irp] = rec;
    return irp;
}

// Removes the IRP from the table and returns its memory to the pool.
void ReleaseIrp(PIRP irp, const char *who)
{
    {
        std::lock_guard<std::mutex> g(Table().lock);
        Table().irps.erase(irp);
    }
    sim::kernel::FreeBlock(irp, who, true, kIrpTag);
}

// An IRP is in a driver's hands from the IofCallDriver that gives it a
// location until the completion walk passes that location again. Locations
// the allocator stepped onto itself (IoSetNextIrpStackLocation) never open.
void RequireNotInFlight(PIRP irp, const IrpRecord &rec, const char *who)
{
    for (std::size_t i = 0; i < rec.locations.size(); i++)
        if (rec.locations[i].pass != rec.locations[i].completedPass)
            VerifierFault("IRP_FREED_IN_FLIGHT",
                          "%s(%p): the IRP is still in a driver's hands (sent to stack location %zu, not completed)",
                          who, static_cast<void *>(irp), i + 1);
}

void CheckPendingRule(PIRP irp, const LocationState &ls, bool pendingReturned)
{
    const bool returnedPending = ls.returnedStatus == STATUS_PENDING;
    if (returnedPending && !pendingReturned)
        VerifierFault("PENDING_NOT_MARKED",
                      "IRP %p: a dispatch routine returned STATUS_PENDING without IoMarkIrpPending on its location",
                      static_cast<void *>(irp));
    if (!returnedPending && pendingReturned)
        VerifierFault("MARKED_PENDING_NOT_RETURNED",
                      "IRP %p: its location was marked pending but the dispatch routine returned 0x%08X",
                      static_cast<void *>(irp), unsigned(ls.returnedStatus));
}

// The I/O manager's end of one of its own IRPs: status block, output copy,
// the IRP freed, and last the caller's event.
void FinishIoManagerIrp(PIRP irp, IrpRecord &rec)
{
    if (irp->AssociatedIrp.SystemBuffer != NULL) {
        if (rec.userOutput != NULL && !NT_ERROR(irp->IoStatus.Status)) {
            ULONG_PTR bytes = irp->IoStatus.Information;
            if (bytes > rec.outputLength)
                bytes = rec.outputLength;
            RtlCopyMemory(rec.userOutput, irp->AssociatedIrp.SystemBuffer, bytes);
        }
        sim::kernel::FreeBlock(irp->AssociatedIrp.SystemBuffer, "I/O completion", true, kSystemBufferTag);
    }
    if (irp->UserIosb != NULL)
        *irp->UserIosb = irp->IoStatus;
    PKEVENT event = irp->UserEvent;
    ReleaseIrp(irp, "I/O completion");
    if (event != NULL)
        KeSetEvent(event, IO_NO_INCREMENT, FALSE);
}

}  // namespace

namespace sim::io {

std::size_t LiveIrps()
{
    std::lock_guard<std::mutex> g(Table().lock);
    return Table().irps.size();
}

}  // namespace sim::io

extern "C" {

PIRP NTAPI IoAllocateIrp(CCHAR StackSize, BOOLEAN ChargeQuota)
{
    UNREFERENCED_PARAMETER(ChargeQuota);
    return AllocateIrp(StackSize, __builtin_return_address(0), "IoAllocateIrp", false);
}

VOID NTAPI IoFreeIrp(PIRP Irp)
{
    sim::hal::RequireIrqlAtMost(DISPATCH_LEVEL, "IoFreeIrp");
    {
        std::lock_guard<std::mutex> g(Table().lock);
        RecordPtr rec = FindLocked(Irp, "IoFreeIrp");
        if (rec->ioManager)
            VerifierFault("FREE_OF_IO_MANAGER_IRP",
                          "IoFreeIrp(%p): the I/O manager built this IRP and frees it itself at completion",
                          static_cast<void *>(Irp));
        if (CancelRoutineOf(Irp) != NULL)
            VerifierFault("IRP_FREED_WITH_CANCEL_ROUTINE", "IoFreeIrp(%p): a cancel routine is still set",
                          static_cast<void *>(Irp));
        std::lock_guard<std::mutex> r(rec->lock);
        RequireNotInFlight(Irp, *rec, "IoFreeIrp");
        for (const void *t : rec->cancellers)
            if (t != ThisThread())
                VerifierFault("IRP_FREED_WHILE_CANCELLING",
                              "IoFreeIrp(%p): another thread is inside IoCancelIrp on this IRP",
                              static_cast<void *>(Irp));
    }
    ReleaseIrp(Irp, "IoFreeIrp");
}

VOID NTAPI IoReuseIrp(PIRP Irp, NTSTATUS Iostatus)
{
    RecordPtr rec = Find(Irp, "IoReuseIrp");
    if (rec->ioManager)
        VerifierFault("FREE_OF_IO_MANAGER_IRP", "IoReuseIrp(%p): the I/O manager owns this IRP",
                      static_cast<void *>(Irp));
    {
        std::lock_guard<std::mutex> r(rec->lock);
        RequireNotInFlight(Irp, *rec, "IoReuseIrp");
    }
    const UCHAR allocationFlags = Irp->AllocationFlags;
    InitializeIrp(Irp, Irp->Size, Irp->StackCount);
    Irp->AllocationFlags = allocationFlags;
    Irp->IoStatus.Status = Iostatus;
}

PIRP NTAPI IoBuildDeviceIoControlRequest(ULONG IoControlCode, PDEVICE_OBJECT DeviceObject, PVOID InputBuffer,
                                         ULONG InputBufferLength, PVOID OutputBuffer, ULONG OutputBufferLength,
                                         BOOLEAN InternalDeviceIoControl, PKEVENT Event,
                                         PIO_STATUS_BLOCK IoStatusBlock)
{
    const char *who = "IoBuildDeviceIoControlRequest";
    sim::hal::RequireIrqlAtMost(PASSIVE_LEVEL, who);
    if (!sim::kernel::IsLiveDeviceObject(DeviceObject))
        VerifierFault("UNKNOWN_DEVICE_OBJECT", "%s: %p is not a live device object", who,
                      static_cast<void *>(DeviceObject));
    const void *caller = __builtin_return_address(0);
    PIRP irp = AllocateIrp(DeviceObject->StackSize, caller, who, true);
    if (irp == NULL)
        return NULL;
    RecordPtr rec = Find(irp, who);
    irp->UserEvent = Event;
    irp->UserIosb = IoStatusBlock;
    irp->Tail.Overlay.Thread = reinterpret_cast<PETHREAD>(KeGetCurrentThread());

    PIO_STACK_LOCATION sp = IoGetNextIrpStackLocation(irp);
    sp->MajorFunction = InternalDeviceIoControl ? IRP_MJ_INTERNAL_DEVICE_CONTROL : IRP_MJ_DEVICE_CONTROL;
    sp->Parameters.DeviceIoControl.IoControlCode = IoControlCode;
    sp->Parameters.DeviceIoControl.InputBufferLength = InputBufferLength;
    sp->Parameters.DeviceIoControl.OutputBufferLength = OutputBufferLength;

    switch (METHOD_FROM_CTL_CODE(IoControlCode)) {
    case METHOD_BUFFERED: {
        const ULONG length = InputBufferLength > OutputBufferLength ? InputBufferLength : OutputBufferLength;
        if (length != 0) {
            PVOID buffer = sim::kernel::AllocateBlock(NonPagedPool, length, kSystemBufferTag, caller, who);
            if (buffer == NULL) {
                ReleaseIrp(irp, who);
                return NULL;
            }
            if (InputBuffer != NULL && InputBufferLength != 0)
                RtlCopyMemory(buffer, InputBuffer, InputBufferLength);
            irp->AssociatedIrp.SystemBuffer = buffer;
            irp->Flags = IRP_BUFFERED_IO | IRP_DEALLOCATE_BUFFER;
            if (OutputBuffer != NULL && OutputBufferLength != 0) {
                irp->Flags |= IRP_INPUT_OPERATION;
                rec->userOutput = OutputBuffer;
                rec->outputLength = OutputBufferLength;
            }
        }
        break;
    }
    case METHOD_NEITHER:
        sp->Parameters.DeviceIoControl.Type3InputBuffer = InputBuffer;
        irp->UserBuffer = OutputBuffer;
        break;
    default:
        VerifierFault("UNSUPPORTED_BY_STAND_IN", "%s: direct I/O control codes (0x%08X) are not implemented", who,
                      IoControlCode);
    }
    return irp;
}

NTSTATUS FASTCALL IofCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    sim::hal::RequireIrqlAtMost(DISPATCH_LEVEL, "IoCallDriver");
    RecordPtr rec = Find(Irp, "IoCallDriver");
    if (!sim::kernel::IsLiveDeviceObject(DeviceObject))
        VerifierFault("UNKNOWN_DEVICE_OBJECT", "IoCallDriver(%p, %p): not a live device object",
                      static_cast<void *>(DeviceObject), static_cast<void *>(Irp));
    if (Irp->CurrentLocation <= 1)
        VerifierFault("NO_MORE_IRP_STACK_LOCATIONS",
                      "IoCallDriver(%p, %p): the IRP has no stack location left for the next driver",
                      static_cast<void *>(DeviceObject), static_cast<void *>(Irp));
    if (Irp->CurrentLocation > Irp->StackCount + 1)
        VerifierFault("IRP_STACK_CORRUPT", "IoCallDriver(%p): current location %d of %d",
                      static_cast<void *>(Irp), Irp->CurrentLocation, Irp->StackCount);
    Irp->CurrentLocation--;
    Irp->Tail.Overlay.CurrentStackLocation--;
    PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
    sp->DeviceObject = DeviceObject;
    const std::size_t index = std::size_t(Irp->CurrentLocation - 1);
    unsigned pass;
    {
        std::lock_guard<std::mutex> g(rec->lock);
        pass = ++rec->locations[index].pass;
    }
    if (sp->MajorFunction > IRP_MJ_MAXIMUM_FUNCTION)
        VerifierFault("BAD_MAJOR_FUNCTION", "IoCallDriver(%p): major function 0x%02X", static_cast<void *>(Irp),
                      sp->MajorFunction);
    PDRIVER_DISPATCH dispatch = DeviceObject->DriverObject->MajorFunction[sp->MajorFunction];
    if (dispatch == NULL)
        dispatch = sim::kernel::InvalidDeviceRequest;

    const UCHAR major = sp->MajorFunction;
    const KIRQL irql = KeGetCurrentIrql();
    // Do not touch the IRP after this call: it may be completed and freed.
    const NTSTATUS status = dispatch(DeviceObject, Irp);
    if (KeGetCurrentIrql() != irql)
        VerifierFault("IRQL_NOT_RESTORED", "a dispatch routine (major 0x%02X) was called at IRQL %u and returned at %u",
                      unsigned(major), irql, KeGetCurrentIrql());

    std::lock_guard<std::mutex> g(rec->lock);
    LocationState &ls = rec->locations[index];
    // A later pass on the same location means the driver passed the IRP on
    // with IoSkipCurrentIrpStackLocation; the driver below answers for it.
    if (ls.pass == pass) {
        ls.returnedPass = pass;
        ls.returnedStatus = status;
        if (ls.completedPass == pass)
            CheckPendingRule(Irp, ls, ls.pendingReturned);
    }
    return status;
}

VOID FASTCALL IofCompleteRequest(PIRP Irp, CCHAR PriorityBoost)
{
    UNREFERENCED_PARAMETER(PriorityBoost);
    sim::hal::RequireIrqlAtMost(DISPATCH_LEVEL, "IoCompleteRequest");
    RecordPtr rec = Find(Irp, "IoCompleteRequest");
    // At the top of its stack an IRP is its allocator's again. The I/O
    // manager's own IRP, held there by a completion routine's
    // STATUS_MORE_PROCESSING_REQUIRED, is ended by completing it again; an
    // IoAllocateIrp IRP there must be freed, so completing it is a second
    // completion.
    if (Irp->CurrentLocation > Irp->StackCount && !rec->ioManager)
        VerifierFault("IRP_COMPLETED_TWICE",
                      "IoCompleteRequest(%p): its completion already reached the top of its stack",
                      static_cast<void *>(Irp));
    if (Irp->IoStatus.Status == STATUS_PENDING)
        VerifierFault("IRP_COMPLETED_WITH_PENDING_STATUS", "IoCompleteRequest(%p) with IoStatus.Status STATUS_PENDING",
                      static_cast<void *>(Irp));
    if (CancelRoutineOf(Irp) != NULL)
        VerifierFault("IRP_COMPLETED_WITH_CANCEL_ROUTINE",
                      "IoCompleteRequest(%p): the cancel routine %p is still set", static_cast<void *>(Irp),
                      reinterpret_cast<void *>(CancelRoutineOf(Irp)));

    while (Irp->CurrentLocation <= Irp->StackCount) {
        PIO_STACK_LOCATION sp = Irp->Tail.Overlay.CurrentStackLocation;
        const bool pending = (sp->Control & SL_PENDING_RETURNED) != 0;
        {
            std::lock_guard<std::mutex> g(rec->lock);
            LocationState &ls = rec->locations[std::size_t(Irp->CurrentLocation - 1)];
            ls.completedPass = ls.pass;
            ls.pendingReturned = pending;
            if (ls.returnedPass == ls.pass && ls.pass != 0)
                CheckPendingRule(Irp, ls, pending);
        }
        Irp->PendingReturned = pending;
        const UCHAR control = sp->Control;
        const PIO_COMPLETION_ROUTINE routine = sp->CompletionRoutine;
        const PVOID context = sp->Context;
        sp->MinorFunction = 0;
        sp->Flags = 0;
        sp->Control = 0;
        sp->CompletionRoutine = NULL;
        sp->Context = NULL;
        Irp->CurrentLocation++;
        Irp->Tail.Overlay.CurrentStackLocation++;

        const NTSTATUS status = Irp->IoStatus.Status;
        const bool invoke = routine != NULL && ((NT_SUCCESS(status) && (control & SL_INVOKE_ON_SUCCESS)) ||
                                                (!NT_SUCCESS(status) && (control & SL_INVOKE_ON_ERROR)) ||
                                                (__atomic_load_n(&Irp->Cancel, __ATOMIC_SEQ_CST) && (control & SL_INVOKE_ON_CANCEL)));
        if (invoke) {
            PDEVICE_OBJECT device =
                Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : NULL;
            const KIRQL irql = KeGetCurrentIrql();
            // The routine may free the IRP or send it on: from here on the
            // walk touches it only if the routine lets the walk go on.
            const NTSTATUS answer = routine(device, Irp, context);
            if (KeGetCurrentIrql() != irql)
                VerifierFault("IRQL_NOT_RESTORED", "completion routine %p was called at IRQL %u and returned at %u",
                              reinterpret_cast<void *>(routine), irql, KeGetCurrentIrql());
            if (answer == STATUS_MORE_PROCESSING_REQUIRED)
                return;
        } else if (pending && Irp->CurrentLocation <= Irp->StackCount) {
            IoMarkIrpPending(Irp);
        }
    }

    if (!rec->ioManager)
        VerifierFault("ALLOCATED_IRP_REACHED_TOP",
                      "IRP %p from IoAllocateIrp completed past the top of its stack: no completion routine "
                      "returned STATUS_MORE_PROCESSING_REQUIRED, so nobody will free it",
                      static_cast<void *>(Irp));
    FinishIoManagerIrp(Irp, *rec);
}

VOID NTAPI IoAcquireCancelSpinLock(PKIRQL Irql)
{
    KeAcquireSpinLock(&g_cancelSpinLock, Irql);
}

VOID NTAPI IoReleaseCancelSpinLock(KIRQL Irql)
{
    KeReleaseSpinLock(&g_cancelSpinLock, Irql);
}

BOOLEAN NTAPI IoCancelIrp(PIRP Irp)
{
    sim::hal::RequireIrqlAtMost(DISPATCH_LEVEL, "IoCancelIrp");
    RecordPtr rec;
    {
        std::lock_guard<std::mutex> g(Table().lock);
        rec = FindLocked(Irp, "IoCancelIrp");
        std::lock_guard<std::mutex> r(rec->lock);
        rec->cancellers.push_back(ThisThread());
    }
    const KIRQL callerIrql = KeGetCurrentIrql();
    KIRQL irql;
    IoAcquireCancelSpinLock(&irql);
    __atomic_store_n(&Irp->Cancel, BOOLEAN(TRUE), __ATOMIC_SEQ_CST);
    const PDRIVER_CANCEL routine = IoSetCancelRoutine(Irp, NULL);
    BOOLEAN called = FALSE;
    if (routine != NULL) {
        Irp->CancelIrql = irql;
        PDEVICE_OBJECT device =
            Irp->CurrentLocation <= Irp->StackCount ? Irp->Tail.Overlay.CurrentStackLocation->DeviceObject : NULL;
        // The routine releases the cancel spin lock and usually completes the
        // IRP; it may be gone when the routine returns.
        routine(device, Irp);
        if (sim::hal::HeldByCurrentThread(&g_cancelSpinLock))
            VerifierFault("CANCEL_LOCK_NOT_RELEASED",
                          "cancel routine %p returned without IoReleaseCancelSpinLock(Irp->CancelIrql)",
                          reinterpret_cast<void *>(routine));
        if (KeGetCurrentIrql() != callerIrql)
            VerifierFault("IRQL_NOT_RESTORED", "cancel routine %p returned at IRQL %u; IoCancelIrp was called at %u",
                          reinterpret_cast<void *>(routine), KeGetCurrentIrql(), callerIrql);
        called = TRUE;
    } else {
        IoReleaseCancelSpinLock(irql);
    }
    std::lock_guard<std::mutex> r(rec->lock);
    for (auto it = rec->cancellers.begin(); it != rec->cancellers.end(); ++it) {
        if (*it == ThisThread()) {
            rec->cancellers.erase(it);
            break;
        }
    }
    return called;
}

VOID NTAPI PoStartNextPowerIrp(PIRP Irp)
{
    sim::hal::RequireIrqlAtMost(DISPATCH_LEVEL, "PoStartNextPowerIrp");
    Find(Irp, "PoStartNextPowerIrp");
}

NTSTATUS NTAPI PoCallDriver(PDEVICE_OBJECT DeviceObject, PIRP Irp)
{
    return IofCallDriver(DeviceObject, Irp);
}

}  // extern "C"
