// The stream class as the capture unit tests see it: the three class
// routines the capture objects call, defined here instead of by the
// stand-in stream class, so a test sees every registration and every
// completion the driver makes.
//
// Completions of stream requests go to one recorder. A test registers each
// request it makes together with the routine that frees its memory; the
// recorder takes the request's Status and DataUsed at the moment it is
// completed and frees it at once, so a write after completion lands in
// freed pool (AddressSanitizer sees it) and a second completion is reported
// without touching the request.
#pragma once

#include "stream/stream.h"

#include <cstdint>
#include <functional>
#include <mutex>
#include <thread>
#include <unordered_map>
#include <vector>

namespace cptest {

struct CompletionRecord {
    int completions = 0;
    NTSTATUS status = 0;
    ULONG dataUsed = 0;
    std::uint64_t order = 0;  // 1 for the first completion of the test, ...
    std::thread::id thread;
};

class StreamCompletions {
public:
    using Release = std::function<void()>;

    // srb is pending from now on; id indexes its record. When the request
    // is linked through ReadQueue n of adapter, the recorder checks at
    // completion that it is no longer linked there.
    void Expect(PHW_STREAM_REQUEST_BLOCK srb, std::size_t id, PADAPTER_EXTENSION adapter, ULONG streamNumber,
                Release release);

    CompletionRecord Record(std::size_t id);
    std::size_t Pending();  // registered and not completed
    // Ids in the order their requests were completed.
    std::vector<std::size_t> Order();
    void Reset();

    // Called by StreamClassStreamNotification(StreamRequestComplete).
    void Complete(PHW_STREAM_OBJECT streamObject, PHW_STREAM_REQUEST_BLOCK srb);

    static StreamCompletions &Instance();

private:
    struct Pend {
        std::size_t id;
        PADAPTER_EXTENSION adapter;
        ULONG streamNumber;
        Release release;
    };
    std::mutex lock_;
    std::unordered_map<PHW_STREAM_REQUEST_BLOCK, Pend> pending_;
    std::unordered_map<std::size_t, CompletionRecord> records_;
    std::vector<std::size_t> order_;
};

// What DriverEntry handed to the class, and what the class answers it.
struct RegistrationLog {
    int calls = 0;
    PVOID argument1 = nullptr;
    PVOID argument2 = nullptr;
    HW_INITIALIZATION_DATA data{};
    NTSTATUS answer = STATUS_SUCCESS;
};
RegistrationLog &Registrations();

// Adapter requests completed through StreamClassDeviceNotification; a unit
// test that expects none leaves this unset and any call fails the test.
using DeviceNotificationHook =
    std::function<void(STREAM_MINIDRIVER_DEVICE_NOTIFICATION_TYPE, PVOID, PHW_STREAM_REQUEST_BLOCK)>;
void SetDeviceNotificationHook(DeviceNotificationHook hook);

}  // namespace cptest
