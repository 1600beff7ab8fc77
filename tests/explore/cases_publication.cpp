// The cases of the driver's publication: power changes, control codes and
// connection events racing the monitor's turns and each other.
//
// Every case checks its properties twice: at the end of the explored run,
// before anything else happens, when no later write is left to repair a
// stale one, and again once everything has settled.

#include "harness.h"

namespace explore
{
namespace
{

const char *const EndOfRun = "at the end of the explored run,";
const char *const Settled = "once settled,";

// HwSetPowerState against QueryPowerOff, with a power-off already reported
// once and the display back on. The monitor sleeps meanwhile.
void PreparePower()
{
    sim::AdvanceTo(1000);
    SetPower(VideoPowerOff);
    SetPower(VideoPowerOn);
}

void PowerContexts()
{
    StartThreads({[] {
                      WaitUntilMs(1100);
                      SetPower(VideoPowerOff);
                  },
                  [] {
                      WaitUntilMs(1100);
                      QueryPowerOff();
                      QueryPowerOff();
                  }});
}

void SettlePower()
{
    CheckStatusSettled(EndOfRun);
    sim::AdvanceTo(1500);
    CheckPowerOff();
    CheckStatusSettled(Settled);
    CheckPairs();
}

// The monitor's event handling and publication against the control codes
// and power changes that write DeviceStatus, while the monitor is detached
// (so nothing rewrites DeviceStatus once the contexts are done): an arrival
// of a monitor-mode frame of an external session (two DeviceStatus writes,
// no attach), then an arrival of an alternate-mode frame (a publication).
void PrepareStatus()
{
    sim::AdvanceTo(900);
}

void StatusContexts()
{
    StartThreads({[] {
                      WaitUntilMs(1000);
                      Plug(MonitorModeIds[0], ExternalInstance);
                      WaitUntilMs(1250);
                      Plug(AltModeIds[1], "FR0002B1");
                  },
                  [] {
                      WaitUntilMs(1000);
                      StartSession(0x11);
                      QueryPowerOff();
                      EndSession();
                      WaitUntilMs(1250);
                      QueryPowerOff();
                      StartSession(0x22);
                      QueryPowerOff();
                  },
                  [] {
                      WaitUntilMs(1000);
                      SetPower(VideoPowerOff);
                      WaitUntilMs(1250);
                      SetPower(VideoPowerOn);
                  }});
}

void SettleStatus()
{
    CheckStatusSettled(EndOfRun);
    sim::AdvanceTo(3000);
    CheckStatusSettled(Settled);
    CheckPairs();
    CheckEventsWhole();
    CheckEventsHandled();
    CheckPowerOff();
}

// Notifications of different frames racing each other and the monitor's
// taking of the event: at 1000 ms the arrivals of a wide alternate-mode
// frame and of a monitor-mode frame of an external session; at 1250 ms the
// removal of the alternate-mode frame and the arrival of a wide
// monitor-mode frame of an external session. Whatever the order, the
// alternate-mode frame is gone at the end (device mode 0), and nothing is
// ever attached. At 1250 ms too, an arrival of another maker's device.
constexpr const char *WideAltId = WideModelIds[0];
constexpr const char *WideMonitorId = WideModelIds[1];

void EventContexts()
{
    StartThreads({[] {
                      WaitUntilMs(1000);
                      Plug(WideAltId, "FR0002B1");
                      WaitUntilMs(1250);
                      Unplug(WideAltId, "FR0002B1");
                  },
                  [] {
                      WaitUntilMs(1000);
                      Plug(MonitorModeIds[0], ExternalInstance);
                      WaitUntilMs(1250);
                      Plug(WideMonitorId, ExternalInstance);
                  },
                  [] {
                      // Another maker's device, of a product ID no wide
                      // model has: no frame event, so WideModel stays. Its
                      // instance has the frames' prefix, which a
                      // notification of any device rewrites.
                      WaitUntilMs(1250);
                      sim::PlugUsb("0BDA", "3000", ExternalInstance);
                  }});
}

void SettleEvents()
{
    CheckStatusSettled(EndOfRun);
    sim::AdvanceTo(3000);
    CheckEventsWhole();
    CheckEventsHandled();
    CheckStatusSettled(Settled);
    if (KVR_STATE(DeviceStatusRecord).DeviceMode.Load() != 0)
        Fail("event: the alternate-mode frame was removed, yet the device mode is " +
             std::to_string(KVR_STATE(DeviceStatusRecord).DeviceMode.Load()));
    CheckPairs();
}

// An attached frame in panel refresh, its requests left pending and
// completed by the sibling driver from its own thread, while sessions start
// and end; at the end the frame leaves and the monitor detaches.
void PrepareSession()
{
    AttachFrame(sim::Completion::Pending);
}

void SessionContexts()
{
    StartThreads({[] {
                      WaitUntilMs(1000);
                      StartSession(0x31);
                      EndSession();
                      WaitUntilMs(1250);
                      StartSession(0x32);
                      QueryPowerOff();
                  },
                  [] {
                      for (uint64_t ms = 1000; ms <= 1250; ms += 250) {
                          WaitUntilMs(ms);
                          sim::SetFramePanel((UCHAR)(ms / 250), 7);
                          sim::CompleteOldestPeerRequest();
                      }
                  }});
}

void SettleSession()
{
    CheckStatusSettled(EndOfRun);
    sim::CompletePeerRequests();
    sim::UnplugUsb(FrameVendorId[0], MonitorModeIds[2], AttachedInstance);
    sim::AdvanceTo(2500);
    sim::CompletePeerRequests();
    sim::AdvanceTo(3000);
    CheckPairs();
    CheckStatusSettled(Settled);
    CheckLink(false);
}

// HwStartIO from two display-driver contexts (the video port hands them
// over one at a time) against the monitor's publication at its panel-
// refresh turns: the DeviceStatus published last is the record as the
// control codes and the turns left it.
void PrepareStartIo()
{
    AttachFrame(sim::Completion::Now);
}

void StartIoContexts()
{
    StartThreads({[] {
                      WaitUntilMs(1000);
                      StartSession(0x41);
                      WaitUntilMs(1250);
                      StartSession(0x43);
                  },
                  [] {
                      WaitUntilMs(1000);
                      QueryPowerOff();
                      WaitUntilMs(1250);
                      EndSession();
                  }});
}

void SettleStartIo()
{
    CheckStatusSettled(EndOfRun);
    CheckPairs();
    sim::AdvanceTo(2000);
    CheckStatusSettled(Settled);
    CheckLink(true);
}

} // namespace

std::vector<Case> PublicationCases()
{
    return {
        {"power", "power-off, status, pair, verifier", nullptr, PreparePower, PowerContexts, 1200,
         SettlePower},
        {"status", "status, pair, event, power-off, verifier", nullptr, PrepareStatus,
         StatusContexts, 1400, SettleStatus},
        {"events", "event, status, pair, verifier", nullptr, PrepareStatus, EventContexts, 1400,
         SettleEvents},
        {"session", "pair, status, link, verifier", nullptr, PrepareSession, SessionContexts, 1400,
         SettleSession},
        {"startio", "status, pair, link, verifier", nullptr, PrepareStartIo, StartIoContexts, 1400,
         SettleStartIo},
    };
}

} // namespace explore
