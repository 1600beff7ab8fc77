// The picture of a run: a self-contained SVG with one lane per kind of
// activity along virtual time. The run is drawn in a fixed number of bins,
// whatever its length, so that a day draws as fast and as legibly as a few
// seconds: each bin holds counts, the times of its first and last event and
// the first change it saw; hovering over a mark (an SVG <title>) gives them.
// Memory stays that of the bins: events are folded in as they come.

#ifndef KVRSIM_TIMELINE_H
#define KVRSIM_TIMELINE_H

#include <cstdint>
#include <map>
#include <ostream>
#include <string>
#include <vector>

namespace kvrsim
{

// What one event adds to the picture.
enum class Mark {
    // connection lane
    Boot,
    Arrival,
    Removal,
    OtherNotify,
    Open,
    OpenFailed,
    Release,
    // plug-and-play lane: the sibling's device and the driver's
    // target-device registrations, one mark for each kind of event
    PnpRegister,
    PnpQueryRemove,
    PnpCancelled,
    PnpSurprise,
    PnpRemoveComplete,
    PnpRemove,
    PnpUnregister,
    PnpAdd,
    PnpOther,
    // a request lane (one per command byte)
    Sent,
    SentPending,
    SentFailed,
    NotBuilt,
    Completed,
    CompletedFailed,
    Busy,
    // registry lane
    RegChange,
    RegRewrite,
    RegRefused,
    // control lane
    IoctlOk,
    IoctlRefused,
    // power lane
    Power,
    // display lane: the display driver's surface over the data file or
    // private, a display turned off, a step of the interface that failed,
    // an escape
    DisplayFile,
    DisplayPrivate,
    DisplayOff,
    DisplayFailed,
    Escape,
    // verdict lane
    ExpectHeld,
    ExpectFailed,
    Finding,
    Count_
};

class Timeline
{
  public:
    // EndMs: the length the run is planned to have (its waits); the bins
    // divide it. An event after it lands in the last bin.
    explicit Timeline(uint64_t EndMs);

    // Cmd: the command byte (request lanes). Note: what the mark's hover
    // text says of the first such event in its bin.
    void Add(uint64_t T, Mark M, const std::string &Note = {}, unsigned Cmd = 0);
    // A registry write: on the lane of the value written, which names it.
    void AddRegistry(uint64_t T, Mark M, const std::string &Value, const std::string &Note);
    // A published DeviceStatus: link state and frame mode lanes.
    void Status(uint64_t T, unsigned LinkState, unsigned FrameMode);
    // The adapter's power state (VideoPowerState): the power band.
    void Power(uint64_t T, unsigned State);

    // The SVG, with the run's title and its end time.
    void Write(std::ostream &Out, const std::string &Title, uint64_t EndMs);

    static constexpr unsigned Bins = 400;

  private:
    struct Bin {
        uint64_t Counts[size_t(Mark::Count_)] = {};
        uint64_t First = UINT64_MAX, Last = 0;
        std::string Note;         // of the first noteworthy event
        unsigned Outstanding = 0; // request lanes: most requests outstanding at once
    };
    struct StateBin {
        int Value = -1; // at the end of the bin; -1: not published yet
        unsigned Changes = 0;
        std::string Note; // the first change
    };
    struct Lane {
        std::vector<Bin> B;
        unsigned Outstanding = 0;
        // The rhythm of a request lane: how often each interval between two
        // requests sent occurred (the few most common are named).
        uint64_t Sent = 0, LastSent = 0;
        std::map<uint64_t, uint64_t> Gaps;
    };

    static std::string RhythmText(const Lane &L);
    unsigned BinOf(uint64_t T) const;
    Lane &LaneOf(Mark M, unsigned Cmd);
    void FillTo(unsigned Last);
    void SetState(std::vector<StateBin> &States, int &Current, uint64_t T, int Value,
                  const char *What);

    uint64_t Length;
    uint64_t BinMs;
    unsigned Filled = 0; // state lanes are filled up to this bin
    Lane Connection, Pnp, Registry, Control, PowerLane, DisplayLane, Verdicts;
    std::map<unsigned, Lane> Requests;
    // One lane a registry value, the first few values written; the rest
    // share the Registry lane.
    std::map<std::string, Lane> Values;
    std::vector<StateBin> Link, Mode, PowerBand;
    int LinkNow = -1, ModeNow = -1, PowerNow = -1;
};

// The plug-and-play lane's mark for a pnp event's kind (the transcript's
// word: register, query-remove, remove-cancelled, ...).
Mark PnpMark(const std::string &What);

// Escapes a text for XML character data and attribute values.
std::string XmlEscape(const std::string &S);

} // namespace kvrsim

#endif // KVRSIM_TIMELINE_H
