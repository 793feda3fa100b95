// One call's VoiceXML dialogue at run time: the interpreter, its announcements played to the call's
// media, its timers, and its outcomes reported in order on the IVR's worker threads.
#pragma once

#include "voip/core/AudioSource.h"
#include "voip/core/Executor.h"
#include "voip/vxml/VxmlSession.h"

#include <map>
#include <memory>
#include <string>

namespace voip {

// Outcomes of a dialogue, reported one at a time in order on a worker thread (never while the
// dialogue is locked: a listener may start the next document or read variables from here).
class IvrDialogueListener
{
public:
    virtual ~IvrDialogueListener() = default;
    virtual void OnDialogueTransfer(const std::string& destination) = 0;
    virtual void OnDialogueHangUp() = 0;
    virtual void OnDialogueEnded(VxmlEnd reason) = 0;
};

class IvrDialogue
{
public:
    explicit IvrDialogue(IvrDialogueListener& listener, Executor& scheduler = Executor::Instance());
    // After it returns no listener call is running or will start, except one the destructor is
    // itself called from.
    ~IvrDialogue();
    IvrDialogue(const IvrDialogue&) = delete;
    IvrDialogue& operator=(const IvrDialogue&) = delete;

    // What the call's media plays: the announcements, silence between them. Shared, so the media may
    // keep it beyond the dialogue.
    std::shared_ptr<AudioSource> Audio() const;

    // Starts a document now, replacing the running one without an end report. False when it does
    // not parse (the end is then reported as failed).
    bool Start(const std::string& document);
    void Stop();
    bool IsRunning() const;
    // DTMF keys for the running field, handled in order after earlier events.
    void Digits(const std::string& keys);
    // The transfer the dialogue asked for is over; it goes on after its <transfer>.
    void TransferFinished();

    void SetVar(const std::string& name, const std::string& value);
    std::string GetVar(const std::string& name) const;
    std::map<std::string, std::string> Variables() const;

private:
    struct Core;
    std::shared_ptr<Core> core_;
};

} // namespace voip
