// The IVR leg of a call: plays the prompt documents, collects the caller's digits itself and turns
// the end of a dialogue into the report its state calls for.
#pragma once

#include "voip/ivr/IvrEndpoint.h"

#include <mutex>
#include <string>

class MyIVREndPoint;

class MyIVRConnection : public voip::IvrConnection
{
public:
    MyIVRConnection(voip::Call& call, MyIVREndPoint& endpoint, const std::string& token,
                    const std::string& address, unsigned options, const voip::StringOptions& stringOptions);

    // Forgets the digits so far, pauses a second, then starts the document (its result is not used).
    void PlayVXML(const std::string& document);
    void SetVXMLVar(const std::string& name, const std::string& value);

    void OnEstablished() override;
    // Collects the keys; a "#" ends a PIN or a number. The keys never reach the dialogue.
    bool OnUserInputString(const std::string& value) override;
    void OnEndDialog() override;

    std::string EnteredDigits() const;

    static constexpr int kPlayPauseMs = 1000;

private:
    MyIVREndPoint& endpoint;
    mutable std::mutex digitsLock; // the keys' worker and a PlayVXML on another thread
    std::string entered_digits;
};
