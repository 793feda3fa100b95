// The IVR leg of a call: plays the prompt documents, collects the caller's digits itself and turns
// the end of a dialogue into the report its state calls for.
#pragma once

#include "voip/ivr/IvrEndpoint.h"

#include <chrono>
#include <cstdint>
#include <mutex>
#include <string>

class MyIVREndPoint;

class MyIVRConnection : public voip::IvrConnection
{
public:
    MyIVRConnection(voip::Call& call, MyIVREndPoint& endpoint, const std::string& token,
                    const std::string& address, unsigned options, const voip::StringOptions& stringOptions);

    // Starts the document a second later (its result is not used). Returns at once: the pause runs on
    // the call model's timer, so no thread sleeps through it and a caller in the middle of an operation
    // is not held up. Keys not yet taken as an entry, those pressed during the pause included, are kept
    // for the document; a later PlayVXML replaces one still waiting. The call's first document asked
    // for again once the subscriber has keyed is not restarted: that would throw the keys away.
    void PlayVXML(const std::string& document);
    void SetVXMLVar(const std::string& name, const std::string& value);

    void OnEstablished() override;
    // Collects the keys; a "#" ends a PIN or a number, taken as one entry. The keys never reach the
    // dialogue.
    bool OnUserInputString(const std::string& value) override;
    void OnEndDialog() override;

    std::string EnteredDigits() const;

    static constexpr int kPlayPauseMs = 1000;

private:
    void StartAfterPause(uint64_t timer, const std::string& document);
    // A "#"-ended entry in the digits, reported to the endpoint as the current document's state says.
    void TakeEntry();

    MyIVREndPoint& endpoint;
    std::mutex entryLock;
    mutable std::mutex digitsLock; // the keys' worker, a PlayVXML on another thread, the pause's timer
    std::string entered_digits; // keys after the last entry taken
    bool keyed = false;         // a key came since the call was answered
    std::chrono::steady_clock::time_point answeredAt;
    uint64_t pendingStart = 0; // the timer of a document waiting out its pause; 0 none
};
