// The VoiceXML documents the service plays, built from the announcement directory and the two
// input timers. One place builds them; the manager runs them and selvane-documents prints them.
#pragma once

#include <string>
#include <utility>
#include <vector>

struct PromptDocuments
{
    std::string wrongCid;
    std::string queueFull;
    std::string enterPin;
    std::string enterPinAgain;
    std::string wrongPin;
    std::string enterNumber;
    std::string transferDenied;
    std::string waitTransfer;
    // The transfer's destination was busy, refused or did not answer.
    std::string transferFailed;
    // "ivr:" + the wait connect document: the A-party of every transfer call.
    std::string transferParty;
    std::string welcome;
    // "ivr:" + the enter PIN document: the A-party of every callback.
    std::string callbackParty;

    // directory: where ogm/ lies; the timers in whole seconds.
    static PromptDocuments Build(const std::string& directory, int enterPinTimer, int enterNumberTimer);

    // Every document by name, in the order they are built.
    std::vector<std::pair<std::string, std::string>> All() const;
};
