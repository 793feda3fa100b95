// A VoiceXML interpreter for the dialogues the service runs: announcements, pauses, DTMF fields and
// transfers. It is a state machine: the host carries out audio, timers and call actions and feeds the
// outcome back as events. Not thread-safe: the owner serialises every call (host callbacks included).
#pragma once

#include "voip/vxml/VxmlDocument.h"

#include <cstdint>
#include <map>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

namespace voip {

enum class VxmlEnd
{
    Completed,    // ran off the end of its form or document
    Disconnected, // reached <disconnect/>
    Failed,       // malformed document, unknown element or a bad expression
};
const char* VxmlEndName(VxmlEnd reason);

// What the dialogue asks of the call. Every request that completes later carries an id; the host
// reports it back with that id, and reports for an id the session no longer waits for are ignored.
class VxmlHost
{
public:
    virtual ~VxmlHost() = default;
    // Plays the WAV file at path; when it is empty or cannot be played, speaks text instead (nothing
    // when both are empty). Reports VxmlSession::OnAudioFinished(id) at the end.
    virtual void PlayAudio(uint32_t id, const std::string& path, const std::string& text) = 0;
    // Cuts short the audio being played; no report follows for it.
    virtual void StopAudio() = 0;
    // Reports VxmlSession::OnTimer(id) after ms milliseconds; replaces any earlier timer.
    virtual void StartTimer(uint32_t id, int ms) = 0;
    virtual void CancelTimer() = 0;
    // Asks the other party of the call to transfer to destination. The dialogue waits for
    // VxmlSession::OnTransferFinished() (or for a new document, or the end of the call).
    virtual void Transfer(const std::string& destination) = 0;
    // The document asked to hang up; DialogueEnded(Disconnected) follows at once.
    virtual void HangUp() = 0;
    // The dialogue is over (not called when a new document replaces a running one). Variables stay
    // readable until the next document starts.
    virtual void DialogueEnded(VxmlEnd reason) = 0;
};

// A value of the dialogue's ECMAScript subset.
struct VxmlValue
{
    enum Kind
    {
        Undefined,
        String,
        Number
    } kind = Undefined;
    std::string text;
    double number = 0;

    static VxmlValue Str(std::string s) { return {String, std::move(s), 0}; }
    static VxmlValue Num(double n) { return {Number, {}, n}; }
    // ECMAScript's ToString, except that undefined reads as the empty string.
    std::string ToString() const;
};

class VxmlSession
{
public:
    explicit VxmlSession(VxmlHost& host);
    ~VxmlSession();
    VxmlSession(const VxmlSession&) = delete;
    VxmlSession& operator=(const VxmlSession&) = delete;

    // Replaces the running dialogue (silently) with this document and runs it. Dialogue and document
    // variables are cleared; variables of other scopes ("transfer.transfer_num") are kept. A document
    // that does not parse ends at once: a Warning log line, then DialogueEnded(Failed); returns false.
    bool Start(std::string_view document);
    // Ends the running dialogue without a DialogueEnded report.
    void Stop();
    bool IsRunning() const { return running_; }

    // One or more DTMF keys (0-9, *, #, A-D; others are ignored). Outside a field they are kept as
    // type-ahead for the next field.
    void OnDigits(std::string_view keys);
    void OnAudioFinished(uint32_t id);
    void OnTimer(uint32_t id);
    void OnTransferFinished();

    // Variables by name: "dialog.state", "transfer.transfer_num"; an unqualified name means the
    // dialogue scope when set and is looked up dialog, document, application when read.
    void SetVar(const std::string& name, const std::string& value);
    std::string GetVar(const std::string& name) const;
    // Every variable by its full name ("dialog.state").
    std::map<std::string, std::string> Variables() const;

    // Default time to wait for input when no "timeout" property is given.
    static constexpr int kDefaultTimeoutMs = 10000;

private:
    struct Frame
    {
        const VxmlNode* node;
        size_t next;
    };
    enum class Wait
    {
        None,
        Audio,
        Break,
        Input,
        Transfer
    };
    struct Grammar
    {
        size_t minDigits = 1;
        size_t maxDigits = 32;
        std::string terminators = "#";
    };

    void Run();
    void Execute(const VxmlNode& node, const VxmlNode& parent);
    void LeaveFrame();
    void EnterField(const VxmlNode& field, const VxmlNode& form);
    bool ParseGrammar(const VxmlNode& field);
    bool AcceptKey(char key); // true when the key completed the field
    void WaitForInput();
    void CompleteField();
    void Fail(const std::string& what, const VxmlNode* at = nullptr);
    void Halt(); // stops everything the dialogue waits for
    void Finish(VxmlEnd reason);
    uint32_t NextId() { return ++lastId_; }

    bool Evaluate(const std::string& expression, VxmlValue& out, const VxmlNode& at);
    const VxmlValue* Lookup(const std::string& name) const;

    VxmlHost& host_;
    std::unique_ptr<VxmlNode> root_;
    std::vector<Frame> stack_;
    std::map<std::string, VxmlValue> vars_;
    bool running_ = false;
    uint64_t generation_ = 0; // changes on every Start/Stop, so a re-entered session is noticed
    Wait wait_ = Wait::None;
    uint32_t lastId_ = 0;
    uint32_t waitId_ = 0;
    int timeoutMs_ = kDefaultTimeoutMs;

    // The field being filled, if any.
    const VxmlNode* field_ = nullptr;
    const VxmlNode* form_ = nullptr;
    size_t fieldDepth_ = 0; // stack size below the field's frame
    bool prompting_ = false;
    Grammar grammar_;
    std::string collected_;
    std::string typeAhead_;
};

} // namespace voip
