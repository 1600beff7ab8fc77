// What the monitor's behaviour tests share: a loaded driver whose monitor
// thread runs on the virtual clock from time 0, frames to announce, and the
// timeline of what the monitor did (peer requests, opens, releases, registry
// writes) as short lines "<ms> <what>" that compare readably.

#ifndef KVR_TEST_MONITOR_FIXTURE_H
#define KVR_TEST_MONITOR_FIXTURE_H

#include "support/harness.h"

#include <cctype>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "driver/control/control.h"
#include "driver/detect/detect.h"

namespace montest
{

// Identifiers taken from the tables, so that the tests follow the tables.
inline std::string Vendor()
{
    return FrameVendorId[0];
}
inline std::string MonitorId(unsigned Index = 0)
{
    return MonitorModeIds[Index];
}

// An alternate-mode ID whose removal is not guarded by DeviceMode.
inline std::string UnguardedAltId()
{
    for (const char *Id : AltModeIds) {
        if (std::string_view(Id) != GuardedAltModeId)
            return Id;
    }
    return {};
}

// A monitor-mode ID that has a letter, so that its case can differ.
inline std::string LetteredMonitorId()
{
    for (const char *Id : MonitorModeIds) {
        for (const char *c = Id; *c != 0; ++c) {
            if (std::isalpha(static_cast<unsigned char>(*c)))
                return Id;
        }
    }
    return {};
}

inline std::string Lower(std::string Text)
{
    for (char &c : Text)
        c = char(std::tolower(static_cast<unsigned char>(c)));
    return Text;
}

// The interface notifications of a frame, posted as the plug-and-play
// manager posts them.
inline void Arrive(std::string_view Pid, std::string_view Instance = "SER001")
{
    sim::PostInterfaceChange(GUID_DEVICE_INTERFACE_ARRIVAL, GUID_DEVINTERFACE_USB_DEVICE,
                             sim::UsbInterfaceName(Vendor(), Pid, Instance));
}

inline void Remove(std::string_view Pid, std::string_view Instance = "SER001")
{
    sim::PostInterfaceChange(GUID_DEVICE_INTERFACE_REMOVAL, GUID_DEVINTERFACE_USB_DEVICE,
                             sim::UsbInterfaceName(Vendor(), Pid, Instance));
}

inline size_t Mark()
{
    return sim::Trace().size();
}

// What the monitor did since Mark: requests ("750 cmd4", "800 nobuild"),
// opens ("500 open", "500 open failed"), releases and registry writes
// ("750 DeviceInfo", "250 DeviceStatus failed").
inline std::vector<std::string> Timeline(size_t From)
{
    std::vector<std::string> Lines;
    const std::vector<sim::TraceEvent> &Trace = sim::Trace();
    for (size_t i = From; i < Trace.size(); ++i) {
        const sim::TraceEvent &Event = Trace[i];
        std::string Line = std::to_string(Event.Time / sim::TicksPerMs) + " ";
        switch (Event.Kind) {
        case sim::TraceKind::Request:
            Line += Event.NoBuild ? "nobuild" : "cmd" + std::to_string(Event.Command);
            break;
        case sim::TraceKind::Open:
            Line += Event.Ok ? "open" : "open failed";
            break;
        case sim::TraceKind::Release:
            Line += "release";
            break;
        case sim::TraceKind::Reg:
            Line += Event.Name + (Event.Ok ? "" : " failed");
            break;
        default:
            continue;
        }
        Lines.push_back(Line);
    }
    return Lines;
}

inline std::string At(int64_t Ms, std::string_view What)
{
    return std::to_string(Ms) + " " + std::string(What);
}

// Appends the lines of one PublishStatus whose writes succeed.
inline void Published(std::vector<std::string> &Lines, int64_t Ms)
{
    Lines.push_back(At(Ms, "DeviceInfo"));
    Lines.push_back(At(Ms, "DeviceStatus"));
}

// The live DeviceStatusRecord and DeviceInfoRecord as their memory images.
inline std::vector<uint8_t> StatusBytes()
{
    const DEVICE_STATUS_RECORD &Status = KVR_STATE(DeviceStatusRecord);
    std::vector<uint8_t> Bytes = {
        Status.LinkState.Load(),    Status.DeviceMode.Load(),   Status.ExternalSession.Load(),
        Status.PowerOffSeen.Load(), Status.InputPending.Load(), Status.Reserved[0],
        Status.Reserved[1],         Status.Reserved[2]};
    std::vector<uint8_t> Params =
        kvrtest::Le32Pair(Status.SessionParam1.Load(), Status.SessionParam2.Load());
    Bytes.insert(Bytes.end(), Params.begin(), Params.end());
    return Bytes;
}

inline std::vector<uint8_t> InfoBytes()
{
    return {KVR_STATE(DeviceInfoRecord).PanelType.Load(),
            KVR_STATE(DeviceInfoRecord).PanelAux.Load()};
}

// A DeviceStatus image with the given first five bytes and the session
// parameters as they stand.
inline std::vector<uint8_t> Status(uint8_t LinkState, uint8_t DeviceMode, uint8_t ExternalSession,
                                   uint8_t PowerOffSeen, uint8_t InputPending)
{
    std::vector<uint8_t> Bytes = StatusBytes();
    Bytes[0] = LinkState;
    Bytes[1] = DeviceMode;
    Bytes[2] = ExternalSession;
    Bytes[3] = PowerOffSeen;
    Bytes[4] = InputPending;
    return Bytes;
}

// The data of every write of a value since Mark (successful or not).
inline std::vector<std::vector<uint8_t>> WrittenSince(size_t From, std::string_view Name)
{
    std::vector<std::vector<uint8_t>> Found;
    const std::vector<sim::TraceEvent> &Trace = sim::Trace();
    for (size_t i = From; i < Trace.size(); ++i) {
        if (Trace[i].Kind == sim::TraceKind::Reg && Trace[i].Name == Name)
            Found.push_back(Trace[i].Data);
    }
    return Found;
}

inline VP_STATUS ActivateClient()
{
    return sim::Ioctl(IoctlActivateClient, {}, 0).Status;
}

// A control request without input that returns OutputLength bytes. The empty
// input still points at a byte, so that the buffer set-up never copies from
// a null pointer.
inline sim::IoctlResult Query(ULONG Code, ULONG OutputLength)
{
    static const uint8_t NoInput = 0;
    return sim::Ioctl(Code, std::span<const uint8_t>(&NoInput, 0), OutputLength);
}

inline PDEVICE_OBJECT PeerObject()
{
    for (const sim::DeviceInfo &Device : sim::Devices()) {
        if (Device.Name == kvrtest::PeerDeviceName)
            return Device.Object;
    }
    return nullptr;
}

// The driver loaded and its adapter started at time 0; the monitor thread
// runs its first turn and waits until 250 ms.
class MonitorTest : public kvrtest::DriverTest
{
  protected:
    void SetUp() override
    {
        DriverTest::SetUp();
        // The frame reports mode 0 until a test says otherwise.
        sim::SetFrameMode(0);
        LoadAndStart(true);
        sim::RunUntilIdle();
    }

    // Announces a monitor-mode frame at 100 ms: the turn at 250 ms takes it,
    // waits 250 ms and opens the peer at 500 ms; the polling step's first
    // mode request follows at 750 ms.
    void AttachAt500(std::string_view Pid = "", std::string_view Instance = "SER001")
    {
        ASSERT_EQ(sim::NowMs(), 0u);
        sim::AdvanceTo(100);
        Arrive(Pid.empty() ? MonitorId() : std::string(Pid), Instance);
        sim::AdvanceTo(500);
        ASSERT_NE(KVR_STATE(PeerDevice).Load(), nullptr);
    }
};

} // namespace montest

#endif // KVR_TEST_MONITOR_FIXTURE_H
