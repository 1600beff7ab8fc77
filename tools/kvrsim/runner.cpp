// The scenario runner: one simulated system, driven command by command.

#include "runner.h"

#include "transcript.h"

#include "../../sim/sim.h"
#include "../../driver/core/miniport.h"
#include "../../driver/state/state.h"
#include "../../display/platform/kvr_ddi.h"

#include <cctype>
#include <cstdio>
#include <optional>

namespace kvrsim
{

namespace
{

// Event GUID of a notification that is neither an arrival nor a removal.
constexpr GUID OtherEventGuid = {
    0x1D7A4C52, 0x0B3E, 0x4F1A, {0x9E, 0x61, 0x2C, 0x5B, 0x8D, 0x07, 0xA4, 0x33}};
// Interface class of a notification that is not about a USB device: the USB
// hub interface class.
constexpr GUID OtherClassGuid = {
    0xF18A0E88, 0xC30C, 0x11D0, {0x88, 0x15, 0x00, 0xA0, 0xC9, 0x06, 0xBE, 0xD8}};

constexpr const char *PeerDeviceText = "\\Device\\KEVO-0";

uint64_t Ms(int64_t Ticks)
{
    return Ticks < 0 ? 0 : uint64_t(Ticks / sim::TicksPerMs);
}

bool SameText(std::string_view A, std::string_view B)
{
    if (A.size() != B.size())
        return false;
    for (size_t I = 0; I < A.size(); ++I)
        if (std::tolower((unsigned char)A[I]) != std::tolower((unsigned char)B[I]))
            return false;
    return true;
}

class Runner
{
  public:
    Runner(const Scenario &Scen, const RunOptions &Opt, std::ostream &Out, std::ostream &Messages)
        : S(Scen), T(Out, Opt.Json, Opt.ChangesOnly), Err(Messages), Quiet(Opt.Quiet),
          Printing(!Opt.Quiet), PictureOut(Opt.Picture)
    {
    }

    int Run();

  private:
    void Boot(bool AdapterFirst = false);
    void SetTracing(bool On);
    void Execute(const Command &C);
    void OnTrace(const sim::TraceEvent &E);
    void Print(const sim::TraceEvent &E);
    void OnViolation(const sim::Violation &V);
    void ReportViolation(uint64_t At, const std::string &Text);
    void ExpectReg(const Command &C);
    void ExpectIoctl(const Command &C);
    void Escape(const Command &C);
    void ExpectEscape(const Command &C);
    void ExpectPixel(const Command &C);
    void Report(unsigned Line, bool Ok, const std::string &Message);
    void Finish();
    void AdapterStep(const Command &C);
    void StartAndOpen();

    const Scenario &S;
    Transcript T;
    std::ostream &Err;
    bool Quiet;
    bool Printing; // platform events are printed (not --quiet, not `trace off`)
    std::ostream *PictureOut;
    std::optional<Timeline> Picture;
    RunSummary Summary;
    size_t ViolationsPrinted = 0;
    bool Booted = false;
    bool InBoot = false;
    sim::IoctlResult LastIoctl{};
    uint32_t LastEscapeResult = 0;
    std::vector<uint8_t> LastEscapeOut;
};

void Runner::OnTrace(const sim::TraceEvent &E)
{
    if (Printing)
        Print(E);
    if (Picture)
        AddToTimeline(*Picture, E);
}

void Runner::Print(const sim::TraceEvent &E)
{
    uint64_t At = Ms(E.Time);
    switch (E.Kind) {
    case sim::TraceKind::Boot:
        T.Boot(At, uint32_t(E.Status));
        break;
    case sim::TraceKind::Notify:
        T.Notify(At, E.Text.c_str(), E.Name);
        break;
    case sim::TraceKind::Open:
        T.Open(At, E.Ok);
        break;
    case sim::TraceKind::Release:
        T.Release(At);
        break;
    case sim::TraceKind::Request:
        T.Request(At, E.Command, !E.NoBuild, uint32_t(E.Status));
        break;
    case sim::TraceKind::Complete:
        T.Complete(At, E.Command, uint32_t(E.Status));
        break;
    case sim::TraceKind::Busy:
        T.Busy(At, E.Command);
        break;
    case sim::TraceKind::Reg:
        if (SameText(E.Text, ProductKeyPath))
            T.RegWrite(At, KeyName::Product, E.Name, E.Code, E.Data, E.Ok, E.Changed);
        else if (SameText(E.Text, PeerKeyPath))
            T.RegWrite(At, KeyName::Peer, E.Name, E.Code, E.Data, E.Ok, E.Changed);
        else
            T.RegWriteOther(At, E.Text, E.Name, E.Code, E.Data, E.Ok, E.Changed);
        break;
    case sim::TraceKind::Ioctl:
        T.Ioctl(At, E.Code, uint32_t(E.Status), uint64_t(E.Information), E.Data);
        break;
    case sim::TraceKind::Power:
        T.Power(At, E.Code);
        break;
    case sim::TraceKind::Adapter:
        // The boot line stands for the load and the first start; a step of
        // it that fails, the unload that follows, and every later step of
        // the adapter's device, are printed.
        if (!InBoot || !E.Ok || E.Text == "unload" || E.Text == "unmap")
            T.Adapter(At, E.Text, uint32_t(E.Status));
        break;
    case sim::TraceKind::Pnp:
        T.Pnp(At, E.Text, E.Name, uint32_t(E.Status));
        break;
    case sim::TraceKind::System:
        T.System(At, E.Text);
        break;
    case sim::TraceKind::Display:
        // The boot line stands for the display driver's load too; a load
        // that fails is printed, as every later call is.
        if (!InBoot || !E.Ok)
            T.Display(At, E.Text, E.Ok, E.Name);
        break;
    default:
        // A kind of event this transcript does not describe yet.
        break;
    }
}

void Runner::OnViolation(const sim::Violation &V)
{
    ++ViolationsPrinted;
    ReportViolation(Ms(V.Time), V.Text);
}

void Runner::ReportViolation(uint64_t At, const std::string &Text)
{
    ++Summary.Findings;
    if (Picture)
        Picture->Add(At, Mark::Finding, Text);
    T.Violation(At, Text);
    Err << S.FileName << ": verifier: " << Text << "\n";
}

void Runner::Report(unsigned Line, bool Ok, const std::string &Message)
{
    T.Expect(sim::NowMs(), Ok, Line, Message);
    ++(Ok ? Summary.ExpectsHeld : Summary.ExpectsFailed);
    if (Picture)
        Picture->Add(sim::NowMs(), Ok ? Mark::ExpectHeld : Mark::ExpectFailed,
                     "line " + std::to_string(Line) + ": " + Message);
    if (!Ok) {
        Err << S.FileName << ":" << Line << ": expect failed: " << Message << "\n";
    }
}

// The monitor thread starts in DriverEntry. By default it runs its start
// before the adapter start; adapter-first holds it back until the adapter
// start has returned, the other order the platform allows.
void Runner::Boot(bool AdapterFirst)
{
    Booted = true;
    InBoot = true;
    sim::HoldNewThreads(AdapterFirst);
    sim::LoadDriver(sim::ImageInUse() ? sim::ImageEntry() : DriverEntry);
    StartAndOpen();
    sim::HoldNewThreads(false);
    InBoot = false;
}

// The adapter's start; once it has started, the display driver that the
// scenario's machine has for the adapter opens the video device, as win32k
// loads it (HwInitialize runs at that open).
void Runner::StartAndOpen()
{
    if (sim::StartAdapter().FindStatus == NO_ERROR)
        sim::OpenVideoDevice();
}

// The adapter's device through its life. An enable after the driver's
// image went loads a fresh image (the driver's record as the loader leaves
// it) first; one after an unload whose image a reference kept fails at
// AddDevice (Code 38).
void Runner::AdapterStep(const Command &C)
{
    switch (C.Adapter) {
    case AdapterAction::FailAdd:
        sim::FailNextAddDevices(unsigned(C.Value));
        break;
    case AdapterAction::FailStart:
        sim::FailNextAdapterStarts(unsigned(C.Value));
        break;
    case AdapterAction::Remove:
        sim::RemoveAdapter(true);
        break;
    case AdapterAction::Disable:
        sim::RemoveAdapter(false);
        break;
    case AdapterAction::Enable:
        if (sim::DriverUnloaded()) {
            // A fresh load; of the real image, the copy this kernel mapped.
            DriverState = DRIVER_STATE{};
            sim::LoadDriver(sim::ImageInUse() ? sim::ImageEntry() : DriverEntry);
        }
        StartAndOpen();
        break;
    }
}

// Events are printed as the kernel reports them and kept nowhere, so the
// memory of a run does not grow with its length. The closing summary comes
// from the kernel's own counters, which count with tracing off too.
void Runner::SetTracing(bool On)
{
    Printing = On && !Quiet;
    // With nothing to print or draw, no observer: the kernel then builds no
    // events at all, which is what makes a quiet or untraced stretch cheap.
    if (Printing || Picture)
        sim::SetTraceObserver([this](const sim::TraceEvent &E) { OnTrace(E); });
    else
        sim::SetTraceObserver({});
}

std::string RegLabel(const Command &C)
{
    return (C.PeerKey ? "peer:" : "") + C.Name;
}

std::string BytesOrAbsent(const std::optional<sim::RegValue> &V)
{
    if (!V)
        return "absent";
    return V->Data.empty() ? "(empty)" : HexBytes(V->Data);
}

void Runner::ExpectReg(const Command &C)
{
    std::optional<sim::RegValue> V =
        sim::GetValue(C.PeerKey ? PeerKeyPath : ProductKeyPath, C.Name);
    std::string Want = C.Present ? (C.Bytes.empty() ? "(empty)" : HexBytes(C.Bytes)) : "absent";
    bool Ok = C.Present ? (V && V->Data == C.Bytes) : !V;
    if (Ok)
        Report(C.Line, true, "reg " + RegLabel(C) + " " + Want);
    else
        Report(C.Line, false,
               "reg " + RegLabel(C) + ": expected " + Want + ", found " + BytesOrAbsent(V));
}

void Runner::ExpectIoctl(const Command &C)
{
    std::string Want = "ioctl status " + std::to_string(C.Value);
    std::string Diff;
    if (uint32_t(LastIoctl.Status) != C.Value)
        Diff += "status " + std::to_string(uint32_t(LastIoctl.Status));
    if (C.ExpectInfo) {
        Want += " info " + std::to_string(*C.ExpectInfo);
        if (uint64_t(LastIoctl.Information) != *C.ExpectInfo)
            Diff += (Diff.empty() ? "" : ", ") + std::string("info ") +
                    std::to_string(uint64_t(LastIoctl.Information));
    }
    if (C.ExpectOut) {
        Want += " out " + (C.ExpectOut->empty() ? std::string("(empty)") : HexBytes(*C.ExpectOut));
        if (LastIoctl.Output != *C.ExpectOut)
            Diff += (Diff.empty() ? "" : ", ") + std::string("out ") +
                    (LastIoctl.Output.empty() ? "(empty)" : HexBytes(LastIoctl.Output));
    }
    if (Diff.empty())
        Report(C.Line, true, Want);
    else
        Report(C.Line, false, "expected " + Want + ", found " + Diff);
}

// A program's ExtEscape: its input and output are buffers of exactly the
// lengths it gives (heap blocks, so that a read or write past either is
// caught by the sanitizers), the output prefilled with a pattern the
// transcript shows where the display driver left it alone.
void Runner::Escape(const Command &C)
{
    constexpr uint8_t CallerFill = 0xEE;
    std::vector<uint8_t> In(C.Bytes);
    std::vector<uint8_t> Out(C.OutLength, CallerFill);
    LastEscapeResult = sim::ExtEscape(ULONG(C.Value), In, Out);
    LastEscapeOut = Out;
    if (Printing)
        T.Escape(sim::NowMs(), uint32_t(C.Value), In, LastEscapeResult, Out);
    if (Picture)
        Picture->Add(sim::NowMs(), Mark::Escape,
                     "escape -> " + std::to_string(int32_t(LastEscapeResult)));
}

void Runner::ExpectEscape(const Command &C)
{
    std::string Want = "escape " + std::to_string(int32_t(C.Value));
    std::string Diff;
    if (LastEscapeResult != C.Value)
        Diff = "escape " + std::to_string(int32_t(LastEscapeResult));
    if (C.ExpectOut) {
        Want += " out " + (C.ExpectOut->empty() ? std::string("(empty)") : HexBytes(*C.ExpectOut));
        if (LastEscapeOut != *C.ExpectOut)
            Diff += (Diff.empty() ? "" : ", ") + std::string("out ") +
                    (LastEscapeOut.empty() ? "(empty)" : HexBytes(LastEscapeOut));
    }
    if (Diff.empty())
        Report(C.Line, true, Want);
    else
        Report(C.Line, false, "expected " + Want + ", found " + Diff);
}

std::string ColorText(uint32_t Rgb)
{
    char Text[8];
    std::snprintf(Text, sizeof Text, "%06x", unsigned(Rgb & 0xFFFFFF));
    return Text;
}

void Runner::ExpectPixel(const Command &C)
{
    std::optional<ULONG> Pixel = sim::DataFilePixel(ULONG(C.Numbers[0]), ULONG(C.Numbers[1]));
    std::string Want = "pixel " + std::to_string(C.Numbers[0]) + "," +
                       std::to_string(C.Numbers[1]) + " " + ColorText(C.Color);
    if (Pixel && *Pixel == C.Color)
        Report(C.Line, true, Want + " in the data file");
    else
        Report(C.Line, false,
               "expected " + Want + ", found " +
                   (Pixel ? ColorText(*Pixel) : std::string("no such pixel in a data file")));
}

void Runner::Execute(const Command &C)
{
    switch (C.Kind) {
    case Op::Boot:
        Boot(C.AdapterFirst);
        break;
    case Op::PnpExisting:
        sim::SetExistingArrivals({unsigned(C.Value), unsigned(C.Value2), C.OutLength});
        break;
    case Op::Trace:
        SetTracing(C.On);
        break;
    case Op::Plug:
        sim::PlugUsb(C.Vid, C.Pid, C.Instance);
        break;
    case Op::Unplug:
        sim::UnplugUsb(C.Vid, C.Pid, C.Instance);
        break;
    case Op::Notify: {
        const GUID &Event = C.Notify == NotifyKind::Arrival   ? GUID_DEVICE_INTERFACE_ARRIVAL
                            : C.Notify == NotifyKind::Removal ? GUID_DEVICE_INTERFACE_REMOVAL
                                                              : OtherEventGuid;
        sim::PostInterfaceChange(Event, C.UsbClass ? GUID_DEVINTERFACE_USB_DEVICE : OtherClassGuid,
                                 std::string_view(C.Name));
        break;
    }
    case Op::Peer:
        sim::SetPeerPresent(C.Present);
        break;
    case Op::FrameMode:
        sim::SetFrameMode(UCHAR(C.Value));
        break;
    case Op::FramePanel:
        sim::SetFramePanel(UCHAR(C.Value), UCHAR(C.Value2));
        break;
    case Op::FrameInput:
        sim::SetFrameInput(UCHAR(C.Value), UCHAR(C.Value2));
        break;
    case Op::FrameReply:
        if (C.Reply == FrameReplyMode::After)
            sim::SetPeerReplyDelayMs(uint32_t(C.Value));
        sim::SetPeerCompletion(C.Reply == FrameReplyMode::Now       ? sim::Completion::Now
                               : C.Reply == FrameReplyMode::Pending ? sim::Completion::Pending
                               : C.Reply == FrameReplyMode::After   ? sim::Completion::Later
                                                                    : sim::Completion::Fail,
                               STATUS_UNSUCCESSFUL);
        break;
    case Op::FrameComplete:
        sim::CompletePeerRequests(STATUS_SUCCESS);
        break;
    case Op::FrameRemove:
        sim::RemovePeer(C.Removal == FrameRemoval::Surprise  ? sim::PeerRemoval::Surprise
                        : C.Removal == FrameRemoval::Orderly ? sim::PeerRemoval::Orderly
                                                             : sim::PeerRemoval::Refused);
        break;
    case Op::FrameAdd:
        sim::AddPeer();
        break;
    case Op::FrameNoBuild:
        sim::FailNextRequestBuilds(unsigned(C.Value));
        break;
    case Op::RegSet: {
        const char *Key = C.PeerKey ? PeerKeyPath : ProductKeyPath;
        if (C.Type == RegType::Dword)
            sim::SetDword(Key, C.Name, ULONG(C.Value));
        else if (C.Type == RegType::Sz)
            sim::SetString(Key, C.Name, C.Text);
        else
            sim::SetValue(Key, C.Name, REG_BINARY, C.Bytes);
        break;
    }
    case Op::RegDel:
        sim::DeleteValue(C.PeerKey ? PeerKeyPath : ProductKeyPath, C.Name);
        break;
    case Op::RegFail:
        if (C.FailWhat == RegFailWhat::Write)
            sim::FailRegistryWrites(unsigned(C.Value));
        else
            sim::FailRegistryReads(unsigned(C.Value));
        break;
    case Op::RegFailOff:
        sim::ClearRegistryFaults();
        break;
    case Op::PoolFail:
        sim::FailNextAllocations(unsigned(C.Value));
        break;
    case Op::Power:
        sim::SetPowerState(ULONG(C.Value));
        break;
    case Op::Adapter:
        AdapterStep(C);
        break;
    case Op::System: {
        // win32k leaves the display driver's mode before the system sleeps
        // and returns to it after the resume. A frame that comes back as the
        // same device: its requests pending across the sleep are answered,
        // or cancelled as a USB stack cancels transfers cut short by a
        // suspend.
        if (C.System != SystemAction::Resume)
            sim::DisplayAssertMode(false);
        sim::Wake Wake;
        Wake.PendingStatus =
            C.Resume == ResumeAs::Cancelled ? NTSTATUS(0xC0000120) : STATUS_SUCCESS;
        Wake.FrameReenumerated = C.Resume == ResumeAs::Replugged;
        sim::SetSystemPower(C.System == SystemAction::Sleep       ? sim::SystemPower::Sleep
                            : C.System == SystemAction::Hibernate ? sim::SystemPower::Hibernate
                                                                  : sim::SystemPower::Resume,
                            Wake);
        if (C.System == SystemAction::Resume)
            sim::DisplayAssertMode(true);
        break;
    }
    case Op::Ioctl: {
        // An empty input still points somewhere: the video port copies it
        // into the system buffer whatever its length.
        static const uint8_t NoInput = 0;
        std::span<const uint8_t> Input =
            C.Bytes.empty() ? std::span<const uint8_t>(&NoInput, 0) : std::span(C.Bytes);
        LastIoctl = sim::Ioctl(ULONG(C.Value), Input, C.OutLength);
        break;
    }
    case Op::Wait:
        sim::Advance(C.Value);
        break;
    case Op::ExpectReg:
        ExpectReg(C);
        break;
    case Op::ExpectIoctl:
        ExpectIoctl(C);
        break;
    case Op::ExpectRequests: {
        size_t Pending = sim::PendingPeerRequests();
        std::string Want = "requests " + std::to_string(C.Value) + " outstanding";
        if (Pending == C.Value)
            Report(C.Line, true, Want);
        else
            Report(C.Line, false, "expected " + Want + ", found " + std::to_string(Pending));
        break;
    }
    case Op::Display:
        if (C.On)
            sim::DisplayOn();
        else
            sim::DisplayOff();
        break;
    case Op::DisplayFailMap:
        sim::FailNextFileMaps(unsigned(C.Value));
        break;
    case Op::DrawFill:
        sim::DrawFill(LONG(C.Numbers[0]), LONG(C.Numbers[1]), LONG(C.Numbers[2]),
                      LONG(C.Numbers[3]), ULONG(C.Color));
        break;
    case Op::DrawCopy:
        sim::DrawCopy(LONG(C.Numbers[0]), LONG(C.Numbers[1]), LONG(C.Numbers[2]),
                      LONG(C.Numbers[3]), LONG(C.Numbers[4]), LONG(C.Numbers[5]));
        break;
    case Op::Escape:
        Escape(C);
        break;
    case Op::ExpectEscape:
        ExpectEscape(C);
        break;
    case Op::ExpectPixel:
        ExpectPixel(C);
        break;
    case Op::Show: {
        std::vector<RegValue> Values;
        for (auto &[Name, V] : sim::Values(ProductKeyPath))
            Values.push_back({Name, V.Type, V.Data});
        T.Show(sim::NowMs(), Values);
        break;
    }
    }
}

// Whether the driver holds the sibling's device: its state record's
// PeerDevice, in the host build's record or in the real image's (found
// through the image's symbols).
bool PeerDeviceHeld()
{
    if (!sim::ImageInUse())
        return DriverState.PeerDevice.Load() != nullptr;
    auto *state = static_cast<const uint8_t *>(sim::ImageData("DriverState"));
    std::optional<size_t> offset = sim::ImageFieldOffset("DRIVER_STATE", "PeerDevice");
    if (!state || !offset)
        return false;
    void *device = nullptr;
    memcpy(&device, state + *offset, sizeof device);
    return device != nullptr;
}

// The end of the run: the verifier's teardown checks. The driver keeps its
// DataFilePath buffer for its whole life, and while it is attached it holds
// the reference it took on the sibling's device when it opened it; anything
// else left over is a finding.
void Runner::Finish()
{
    sim::RunUntilIdle();
    // A display still attached is detached, so that what the display driver
    // leaves behind is checked.
    sim::DisplayOff();
    sim::RunUntilIdle();
    uint64_t End = sim::NowMs();
    sim::ExpectSurvivingPool(sim::Tag("ffub"));
    if (Booted && PeerDeviceHeld()) {
        sim::ExpectSurvivingReferences(PeerDeviceText);
        // Exempting the device must not hide a second open that was never
        // released: attached, the driver holds exactly one file object.
        size_t Open = sim::OpenFileObjects();
        if (Open > 1) {
            ReportViolation(End, std::to_string(Open) + " file objects of " + PeerDeviceText +
                                     " still open; an attached driver holds one");
        }
    }
    std::vector<sim::Violation> All = sim::Shutdown();
    for (size_t I = ViolationsPrinted; I < All.size(); ++I)
        ReportViolation(Ms(All[I].Time), All[I].Text);
    // The kernel counts requests and writes whether or not their events are
    // printed, so a quiet run has the same summary as a printed one.
    for (unsigned Cmd = 0; Cmd < Summary.Requests.size(); ++Cmd) {
        sim::PeerCommandCounts C = sim::PeerCommandCount(UCHAR(Cmd));
        Summary.Requests[Cmd] = {C.Sent, C.Pending, C.Failed, C.NotBuilt, C.Late, C.Busy};
    }
    sim::RegistryWriteOutcomes W = sim::RegistryWriteOutcomeCounts();
    Summary.RegChanges = W.Changes;
    Summary.RegRewrites = W.Rewrites;
    Summary.RegRefused = W.Refused;
    T.End(End, Summary);
    if (Picture)
        Picture->Write(*PictureOut, S.FileName, End);
}

int Runner::Run()
{
    sim::Options O;
    O.TargetOs = S.Vista ? sim::Target::WindowsVistax64 : sim::Target::Windows7x64;
    O.RunMode = sim::Mode::Deterministic;
    O.Keys = {ProductKeyPath, PeerKeyPath};
    O.PeerPresent = true;
    // The kernel keeps no record of its own: every event reaches the observer
    // and is printed (or counted) at once.
    O.TraceEnabled = false;
    O.RecordWaits = false;
    O.RecordRegistry = false;
    O.RecordPeerRequests = false;
    sim::Reset(O);
    // The machine's display driver for the adapter: the host build's own,
    // unless one was given (the real DLL).
    if (!sim::DisplayDriver())
        sim::UseDisplayDriver(DrvEnableDriver);
    if (PictureOut) {
        // The bins divide the time the scenario's waits add up to.
        uint64_t Planned = 0;
        for (const Command &C : S.Commands)
            if (C.Kind == Op::Wait)
                Planned += C.Value;
        Picture.emplace(Planned);
    }
    // A freshly loaded image: the driver's record as the loader leaves it
    // (the real image is mapped afresh by Reset).
    if (!sim::ImageInUse())
        DriverState = DRIVER_STATE{};
    sim::SetFrameMode(3);
    sim::SetFramePanel(8, 0);
    sim::SetFrameInput(0, 0);
    // The sibling answers as a USB driver does: pending, completed a few
    // milliseconds later from its own context.
    sim::SetPeerReplyDelayMs(sim::DefaultPeerReplyDelayMs);
    sim::SetPeerCompletion(sim::Completion::Later);
    SetTracing(true);
    sim::SetViolationObserver([this](const sim::Violation &V) { OnViolation(V); });

    if (!S.HasBoot)
        Boot();
    for (const Command &C : S.Commands) {
        sim::RunUntilIdle();
        Execute(C);
    }
    Finish();

    sim::SetTraceObserver({});
    sim::SetViolationObserver({});
    return Summary.ExpectsFailed + Summary.Findings == 0 ? 0 : 1;
}

} // namespace

void AddToTimeline(Timeline &Picture, const sim::TraceEvent &E)
{
    uint64_t At = Ms(E.Time);
    switch (E.Kind) {
    case sim::TraceKind::Boot:
        Picture.Add(At, Mark::Boot, "DriverEntry returned " + std::to_string(uint32_t(E.Status)));
        break;
    case sim::TraceKind::Notify:
        Picture.Add(At,
                    E.Text == "arrival"   ? Mark::Arrival
                    : E.Text == "removal" ? Mark::Removal
                                          : Mark::OtherNotify,
                    E.Text + " " + E.Name);
        break;
    case sim::TraceKind::Open:
        Picture.Add(At, E.Ok ? Mark::Open : Mark::OpenFailed, E.Name);
        break;
    case sim::TraceKind::Release:
        Picture.Add(At, Mark::Release, E.Name);
        break;
    case sim::TraceKind::Request: {
        char Status[16];
        std::snprintf(Status, sizeof Status, "0x%08x", uint32_t(E.Status));
        Mark M = E.NoBuild                    ? Mark::NotBuilt
                 : E.Status == STATUS_PENDING ? Mark::SentPending
                 : NT_SUCCESS(E.Status)       ? Mark::Sent
                                              : Mark::SentFailed;
        Picture.Add(At, M, E.NoBuild ? "not built" : std::string("status ") + Status, E.Command);
        break;
    }
    case sim::TraceKind::Complete: {
        char Status[16];
        std::snprintf(Status, sizeof Status, "0x%08x", uint32_t(E.Status));
        Picture.Add(At, NT_SUCCESS(E.Status) ? Mark::Completed : Mark::CompletedFailed,
                    std::string("completed with ") + Status, E.Command);
        break;
    }
    case sim::TraceKind::Busy:
        Picture.Add(At, Mark::Busy, "still outstanding", E.Command);
        break;
    case sim::TraceKind::Reg:
        Picture.AddRegistry(At,
                            !E.Ok       ? Mark::RegRefused
                            : E.Changed ? Mark::RegChange
                                        : Mark::RegRewrite,
                            E.Name, E.Name + " " + HexBytes(E.Data));
        if (E.Ok && E.Data.size() == 16 && E.Code == REG_BINARY &&
            SameText(E.Name, "DeviceStatus") && SameText(E.Text, ProductKeyPath))
            Picture.Status(At, E.Data[0], E.Data[1]);
        break;
    case sim::TraceKind::Ioctl: {
        const char *Name = ControlCodeName(E.Code);
        char Code[16];
        std::snprintf(Code, sizeof Code, "0x%06x", unsigned(E.Code));
        Picture.Add(At, E.Status == 0 ? Mark::IoctlOk : Mark::IoctlRefused,
                    std::string(Name ? Name : Code) + " -> " + std::to_string(uint32_t(E.Status)));
        break;
    }
    case sim::TraceKind::Power:
        Picture.Add(At, Mark::Power, "state " + std::to_string(E.Code));
        Picture.Power(At, unsigned(E.Code));
        break;
    case sim::TraceKind::Adapter: {
        // The adapter's device, on the connection lane with the boot.
        char Status[16];
        std::snprintf(Status, sizeof Status, "0x%08x", uint32_t(E.Status));
        Picture.Add(At, Mark::Boot, "adapter " + E.Text + " -> " + Status);
        break;
    }
    case sim::TraceKind::Pnp:
        // Plug and play of the sibling's device and the registrations, one
        // mark for each kind on their own lane.
        Picture.Add(At, PnpMark(E.Text), E.Name.empty() ? E.Text : E.Text + ": " + E.Name);
        break;
    case sim::TraceKind::System:
        // The system's sleep and resume, on the power lane.
        Picture.Add(At, Mark::Power, "system " + E.Text);
        break;
    case sim::TraceKind::Display: {
        // The display's state: on over the data file or privately (with
        // its mode), off, or a step that failed.
        Mark M = !E.Ok                          ? Mark::DisplayFailed
                 : E.Text == "DrvDisablePDEV"   ? Mark::DisplayOff
                 : E.Text != "DrvEnableSurface" ? Mark::Count_
                 : E.Name == "data file"        ? Mark::DisplayFile
                                                : Mark::DisplayPrivate;
        if (M != Mark::Count_) {
            sim::DisplayModeInfo Mode = sim::DisplayMode();
            std::string Note = E.Text + " -> " + E.Name;
            if (Mode.Width)
                Note += ", " + std::to_string(Mode.Width) + "x" + std::to_string(Mode.Height) +
                        "x" + std::to_string(Mode.BitsPerPixel);
            Picture.Add(At, M, Note);
        }
        break;
    }
    }
}

int RunScenario(const Scenario &S, const RunOptions &Opt, std::ostream &Out, std::ostream &Err)
{
    Runner R(S, Opt, Out, Err);
    return R.Run();
}

} // namespace kvrsim
