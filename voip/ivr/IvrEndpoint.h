// The IVR party of a call: "ivr:" + a VoiceXML document runs that document once the call is
// established; "ivr:" alone runs nothing until a document is started on the connection.
#pragma once

#include "voip/core/Connection.h"
#include "voip/core/Endpoint.h"
#include "voip/ivr/IvrDialogue.h"

#include <map>
#include <memory>
#include <mutex>
#include <string>

namespace voip {

class IvrEndpoint;

class IvrConnection : public Connection
{
public:
    IvrConnection(Call& call, IvrEndpoint& endpoint, const std::string& token, const std::string& address,
                  unsigned options, const StringOptions& stringOptions);
    ~IvrConnection() override;

    IvrEndpoint& GetIvrEndpoint() const;
    // The document of the address ("ivr:" removed); empty for "ivr:" alone.
    const std::string& GetInitialDocument() const { return initialDocument_; }

    // Loads and starts a VoiceXML text in this connection's dialogue, replacing the running one
    // (which then reports no end). False when it does not parse; its end is then reported.
    bool StartVXML(const std::string& document);
    // Dialogue variables by name: "dialog.state", "transfer.transfer_num".
    void SetVar(const std::string& name, const std::string& value);
    std::string GetVar(const std::string& name) const;
    std::map<std::string, std::string> GetVars() const;
    bool IsDialogueRunning() const;
    // How the last dialogue ended.
    VxmlEnd GetDialogEndReason() const;

    // Starts the initial document, if any.
    void OnEstablished() override;
    // Passes the keys to the dialogue's running field.
    bool OnUserInputString(const std::string& value) override;
    // The dialogue is over (ran off its end, hung up, or failed). Ends the leg. Runs on a worker of
    // the dialogue's own, in order with its other reports; an override may block.
    virtual void OnEndDialog();

    std::shared_ptr<AudioSource> GetAudioSource() override;
    void OnReleased() override;

private:
    class Reports;
    IvrDialogue& Dialogue() const;
    void Transfer(const std::string& destination);
    void Ended(VxmlEnd reason);

    const std::string initialDocument_;
    mutable std::mutex mutex_;
    mutable std::shared_ptr<Reports> reports_;
    mutable std::unique_ptr<IvrDialogue> dialogue_; // made on first use, when shared ownership exists
    VxmlEnd endReason_ = VxmlEnd::Completed;
    bool hangUp_ = false;
};

class IvrEndpoint : public Endpoint
{
public:
    explicit IvrEndpoint(Manager& manager, const std::string& prefix = "ivr");

    // Makes an IvrConnection; a derived endpoint makes its own kind.
    std::shared_ptr<Connection> CreateConnection(Call& call, const std::string& token, void* userData,
                                                 const std::string& address, unsigned options,
                                                 const StringOptions& stringOptions) override;
};

} // namespace voip
