// simload: loads a driver image into the stand-in kernel, the way the I/O
// manager would, and reports what it did.
//
//   simload [--ioctl CODE] [--quiet] DRIVER.so
//
// Enters the image at DriverEntry, sends one buffered device I/O control
// request (CODE, default 0x222000; input a 32-bit 1, 64 bytes of room for
// output) to each device object the driver created, unloads
// it, and prints DriverEntry's status, each request's outcome, the debug
// output and the pool left behind. A broken platform rule stops the run with
// the verifier's message. Exit status 0 when DriverEntry succeeded and the
// driver unloaded clean.

#include "sim_kernel.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

namespace {

void Usage(FILE *out)
{
    std::fprintf(out,
                 "usage: simload [--ioctl CODE] [--quiet] DRIVER.so\n"
                 "Loads DRIVER.so into the stand-in kernel, sends each of its devices one\n"
                 "buffered device I/O control request (CODE, default 0x222000) with a\n"
                 "32-bit 1 as input, prints the answer, and unloads it.\n"
                 "  --ioctl CODE  control code to send, decimal or 0x hex\n"
                 "  --quiet       do not print the driver's debug output\n");
}

}  // namespace

int main(int argc, char **argv)
{
    ULONG code = 0x222000;
    bool quiet = false;
    std::string path;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            return 0;
        } else if (arg == "--ioctl" && i + 1 < argc) {
            char *end = nullptr;
            code = ULONG(std::strtoul(argv[++i], &end, 0));
            if (end == argv[i] || *end != 0) {
                std::fprintf(stderr, "simload: --ioctl needs a number, not '%s'\n", argv[i]);
                return 2;
            }
        } else if (arg == "--quiet") {
            quiet = true;
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "simload: unknown option '%s'\n", arg.c_str());
            Usage(stderr);
            return 2;
        } else if (path.empty()) {
            path = arg;
        } else {
            std::fprintf(stderr, "simload: one driver at a time ('%s' and '%s')\n", path.c_str(), arg.c_str());
            return 2;
        }
    }
    if (path.empty()) {
        Usage(stderr);
        return 2;
    }

    NTSTATUS entryStatus = 0;
    std::string error;
    sim::io::DriverImage *image = sim::io::LoadDriver(path, "simload", &entryStatus, &error);
    if (image == nullptr) {
        std::fprintf(stderr, "simload: cannot load %s: %s\n", path.c_str(), error.c_str());
        return 1;
    }
    std::printf("DriverEntry(%s) = 0x%08X\n", path.c_str(), unsigned(entryStatus));

    std::vector<PDEVICE_OBJECT> devices;
    for (PDEVICE_OBJECT d = sim::io::DriverObjectOf(image)->DeviceObject; d != NULL; d = d->NextDevice)
        devices.push_back(d);
    for (PDEVICE_OBJECT device : devices) {
        KEVENT event;
        IO_STATUS_BLOCK iosb{};
        ULONG input = 1;
        unsigned char output[64] = {};
        KeInitializeEvent(&event, NotificationEvent, FALSE);
        PIRP irp = IoBuildDeviceIoControlRequest(code, device, &input, sizeof input, output, sizeof output, FALSE,
                                                 &event, &iosb);
        if (irp == NULL) {
            std::fprintf(stderr, "simload: no memory for a request\n");
            return 1;
        }
        NTSTATUS status = IoCallDriver(device, irp);
        if (status == STATUS_PENDING) {
            KeWaitForSingleObject(&event, Executive, KernelMode, FALSE, NULL);
            status = iosb.Status;
        }
        std::printf("device %p: ioctl 0x%08X = 0x%08X, information %lu", static_cast<void *>(device),
                    unsigned(code), unsigned(status), static_cast<unsigned long>(iosb.Information));
        for (ULONG_PTR i = 0; NT_SUCCESS(status) && i < iosb.Information && i < sizeof output; i++)
            std::printf("%s%02X", i == 0 ? ":" : " ", output[i]);
        std::printf("\n");
    }

    sim::io::UnloadDriver(image);
    if (!quiet) {
        const std::string log = sim::debug::Log();
        std::printf("---- debug output (%zu bytes)\n%s%s", log.size(), log.c_str(),
                    log.empty() || log.back() == '\n' ? "" : "\n");
    }
    std::printf("unloaded clean: %zu pool blocks, %zu IRPs, %zu device objects outstanding\n",
                sim::pool::OutstandingBlocks(), sim::io::LiveIrps(), sim::io::LiveDeviceObjects());
    return NT_SUCCESS(entryStatus) ? 0 : 1;
}
