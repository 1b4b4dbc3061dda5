// simplug: plugs a simulated programmed receiver into the stand-in machine
// and starts the capture minidriver on it, as far as the driver answers
// today, then unplugs it; with the verifier on throughout.
//
//   simplug [--pipe iso|bulk] [--os xp-sp1|xp-sp2|xp-sp3|2000] DRIVER.so
//
// Loads DRIVER.so (either build of the capture minidriver), plugs the
// receiver into a stand-in USB bus, lets the stream class add an adapter
// for it and send it SRB_INITIALIZE_DEVICE and SRB_INITIALIZATION_COMPLETE,
// and reports what the driver made of the receiver: its pipes, its device
// interface, its filter, its number. Then SRB_UNINITIALIZE_DEVICE, unplug,
// unload, and a check that nothing was left behind. Exit status 0 when the
// adapter started and everything was released.

#include "sim_kernel.h"
#include "sim_receiver.h"
#include "sim_streamclass.h"
#include "sim_usb.h"

#include <cstdio>
#include <cstring>
#include <string>

namespace {

void Usage(FILE *out)
{
    std::fprintf(out,
                 "usage: simplug [--pipe iso|bulk] [--os xp-sp1|xp-sp2|xp-sp3|2000] DRIVER.so\n"
                 "Plugs a simulated programmed receiver into the stand-in machine, starts the\n"
                 "capture minidriver DRIVER.so on it, reports the adapter, and unplugs it.\n"
                 "  --pipe iso|bulk  the receiver's stream endpoint (default iso)\n"
                 "  --os NAME        the operating system the machine plays (default xp-sp2)\n");
}

struct OsName {
    const char *name;
    sim::machine::Os os;
};
const OsName kOses[] = {
    {"xp-sp1", sim::machine::Os::WindowsXPSp1},
    {"xp-sp2", sim::machine::Os::WindowsXPSp2},
    {"xp-sp3", sim::machine::Os::WindowsXPSp3},
    {"2000", sim::machine::Os::Windows2000},
};

}  // namespace

int main(int argc, char **argv)
{
    sim::receiver::StreamKind kind = sim::receiver::StreamKind::Isochronous;
    sim::machine::Os os = sim::machine::Os::WindowsXPSp2;
    std::string path;
    for (int i = 1; i < argc; i++) {
        const std::string arg = argv[i];
        if (arg == "-h" || arg == "--help") {
            Usage(stdout);
            return 0;
        } else if (arg == "--pipe" && i + 1 < argc) {
            const std::string v = argv[++i];
            if (v == "iso") {
                kind = sim::receiver::StreamKind::Isochronous;
            } else if (v == "bulk") {
                kind = sim::receiver::StreamKind::Bulk;
            } else {
                std::fprintf(stderr, "simplug: --pipe takes iso or bulk, not '%s'\n", v.c_str());
                return 2;
            }
        } else if (arg == "--os" && i + 1 < argc) {
            const std::string v = argv[++i];
            bool found = false;
            for (const OsName &o : kOses)
                if (v == o.name) {
                    os = o.os;
                    found = true;
                }
            if (!found) {
                std::fprintf(stderr, "simplug: unknown --os '%s'\n", v.c_str());
                return 2;
            }
        } else if (!arg.empty() && arg[0] == '-') {
            std::fprintf(stderr, "simplug: unknown option '%s'\n", arg.c_str());
            Usage(stderr);
            return 2;
        } else if (path.empty()) {
            path = arg;
        } else {
            std::fprintf(stderr, "simplug: one driver at a time\n");
            return 2;
        }
    }
    if (path.empty()) {
        Usage(stderr);
        return 2;
    }

    sim::machine::SetOs(os);
    NTSTATUS entry = 0;
    std::string error;
    sim::io::DriverImage *image = sim::io::LoadDriver(path, "norvane", &entry, &error);
    if (image == nullptr) {
        std::fprintf(stderr, "simplug: cannot load %s: %s\n", path.c_str(), error.c_str());
        return 1;
    }
    std::printf("machine: %s; DriverEntry(%s) = 0x%08X\n", sim::machine::IdentityOf(os).name, path.c_str(),
                unsigned(entry));
    if (!NT_SUCCESS(entry)) {
        sim::io::UnloadDriver(image);
        return 1;
    }

    int result = 0;
    {
        sim::usb::Bus bus(sim::usb::BusOptions{sim::usb::CompletionMode::Worker, 1});
        sim::receiver::ProgrammedReceiver receiver(sim::receiver::Options{kind, 0});
        sim::usb::Port *port = receiver.Plug(bus);
        if (port == nullptr) {
            std::fprintf(stderr, "simplug: the bus could not plug the receiver\n");
            sim::io::UnloadDriver(image);
            return 1;
        }
        PDEVICE_OBJECT pdo = port->PhysicalDeviceObject();
        std::printf("plugged: programmed receiver, %s stream pipe\n",
                    kind == sim::receiver::StreamKind::Isochronous ? "isochronous" : "bulk");

        NTSTATUS status = STATUS_UNSUCCESSFUL;
        sim::streamclass::Adapter *adapter =
            sim::streamclass::AddAdapter(sim::io::DriverObjectOf(image), pdo, &status);
        if (adapter != nullptr) {
            PORT_CONFIGURATION_INFORMATION config{};
            config.SizeOfThisPacket = sizeof config;
            config.HwDeviceExtension = sim::streamclass::HwDeviceExtensionOf(adapter);
            config.ClassDeviceObject = sim::streamclass::DeviceObjectOf(adapter);
            config.PhysicalDeviceObject = pdo;
            config.RealPhysicalDeviceObject = pdo;
            sim::streamclass::CommandData data{};
            data.ConfigInfo = &config;
            status = sim::streamclass::SendAdapterRequest(adapter, SRB_INITIALIZE_DEVICE, data).status;
            std::printf("SRB_INITIALIZE_DEVICE = 0x%08X\n", unsigned(status));
            if (NT_SUCCESS(status)) {
                sim::streamclass::SendAdapterRequest(adapter, SRB_INITIALIZATION_COMPLETE);
                for (const auto &i : sim::machine::DeviceInterfacesOf(pdo))
                    std::printf("device interface: %s (%s)\n", sim::machine::Narrow(i.symbolicLink).c_str(),
                                i.enabled ? "enabled" : "disabled");
                if (const auto filter = sim::streamclass::RegisteredFilterOf(pdo))
                    std::printf("capture filter: %zu pin(s), medium id %u\n", filter->pins.size(),
                                unsigned(filter->pins.empty() ? 0 : filter->pins[0].medium.Id));
                std::printf("stream description asked for: %u bytes\n", unsigned(config.StreamDescriptorSize));
                status = sim::streamclass::SendAdapterRequest(adapter, SRB_UNINITIALIZE_DEVICE).status;
                std::printf("SRB_UNINITIALIZE_DEVICE = 0x%08X\n", unsigned(status));
            } else {
                result = 1;
            }
            sim::streamclass::DestroyAdapter(adapter);
        } else {
            std::fprintf(stderr, "simplug: the stream class could not add the adapter (0x%08X)\n", unsigned(status));
            result = 1;
        }
        receiver.Unplug();
        std::printf("unplugged\n");
    }
    sim::io::UnloadDriver(image);
    const std::string log = sim::debug::Log();
    std::printf("---- driver debug output\n%s", log.c_str());
    std::printf("unloaded clean: %zu pool blocks, %zu IRPs, %zu device objects outstanding\n",
                sim::pool::OutstandingBlocks(), sim::io::LiveIrps(), sim::io::LiveDeviceObjects());
    return result;
}
