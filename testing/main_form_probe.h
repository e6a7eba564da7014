// TMainFormProbe: what tests and load programs may reach inside a TMainForm
// beyond its public views: the parts they drive directly (the distribution
// timer, the listening servers, the registry, the per-game viewer lists) and
// the bounds they lower. Never used by the two programs.
#pragma once

#include <cstddef>
#include <cstdint>

#include "relay/main_form.h"

namespace vistrel {

class TMainFormProbe {
public:
    static TTimer& DistrubuteDemo(TMainForm& form) { return form.distrubute_demo_; }
    static TWSocketServer& DemoSenders(TMainForm& form) { return form.demo_senders_; }
    static TWSocketServer& DemoViewers(TMainForm& form) { return form.demo_viewers_; }
    static TGameList* Games(TMainForm& form) { return form.games_.List(); }
    static TGameViewers& GameViewers(TMainForm& form) { return form.games_.Viewers(); }
    static TConsoleLists& Console(TMainForm& form) { return form.console_; }
    static int32_t GameIdCounter(const TMainForm& form) { return form.games_.LastId(); }
    // Whether a game's description is waiting for its turn (kDescriptionRate).
    static bool DescriptionDue(const TMainForm& form) { return form.descriptions_.AnyDue(); }
    // Whether a crowded game's summary of joins and leaves is waiting.
    static bool CrowdSummaryDue(const TMainForm& form) { return form.crowd_.AnySummaryDue(); }
    // Where the servers listen; read at FormCreate.
    static TListenSettings& Listen(TMainForm& form) { return form.listen_; }
    // What the connections hold now (MemoryBudget().ConnectionBuffers bounds it).
    static size_t ConnectionBufferBytes(const TMainForm& form) { return form.input_.ConnectionBufferBytes(); }
    static size_t MaxUnhandledInput(const TMainForm& form) { return form.input_.MaxUnhandledInput(); }
    static void SetMaxUnhandledInput(TMainForm& form, size_t bytes) { form.input_.SetMaxUnhandledInput(bytes); }
    // The recordings (null while recording is off).
    static TRecorder* Recorder(TMainForm& form) { return form.recording_.Recorder(); }
    // Payload checks (inflate runs) since start-up.
    static uint64_t PayloadChecks(const TMainForm& form) { return form.metrics_.PayloadChecks; }
};

}  // namespace vistrel
