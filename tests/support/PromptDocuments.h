// The ten prompt documents laid out line by line as the service builds them, for tests.
#pragma once

#include <string>
#include <vector>

namespace voip::test {

inline std::string Lines(const std::vector<std::pair<int, std::string>>& lines)
{
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i)
            out += '\n';
        out += std::string(static_cast<size_t>(lines[i].first), ' ') + lines[i].second;
    }
    return out;
}

inline std::string AnnounceDocument(const std::string& dir, const std::string& state, const std::string& file,
                                    const std::string& text)
{
    std::vector<std::pair<int, std::string>> l = {
        {0, "<?xml version=\"1.0\"?>"}, {24, "<vxml version=\"1.0\">"}, {26, "<form id=\"HangUp\">"}};
    if (!state.empty())
        l.push_back({26, "<var name=\"state\" expr=\"'" + state + "'\" />  "});
    l.push_back({29, "<audio src=\"file:" + dir + "/ogm/" + file + "\">"});
    l.push_back({35, text + std::string(31, ' ') + "</audio>"});
    l.push_back({30, "<break msecs=\"3000\"/>"});
    l.push_back({29, "<disconnect/>"});
    l.push_back({26, "</form>"});
    l.push_back({26, "</vxml>"});
    return Lines(l);
}

inline std::string WelcomeDocument(const std::string& dir)
{
    return AnnounceDocument(dir, "", "ogm1-welcome.wav", "Please wait callback.");
}
inline std::string WrongCidDocument(const std::string& dir)
{
    return AnnounceDocument(dir, "", "ogm2-wrongcid.wav", "Service is unavailable for You. Good bye.");
}
inline std::string QueueFullDocument(const std::string& dir)
{
    return AnnounceDocument(dir, "", "ogm3-queuefull.wav", "Queue is full. Recall later. Good bye.");
}
inline std::string WrongPinDocument(const std::string& dir)
{
    return AnnounceDocument(dir, "wrong_pin", "ogm5-wrongpin.wav", "Wrong PIN entered.");
}
inline std::string TransferDeniedDocument(const std::string& dir)
{
    return AnnounceDocument(dir, "transfer_denied", "ogm7-transferdenied.wav", "Transfer denied.");
}

inline std::string PinDocument(const std::string& dir, const std::string& file, int timeoutSeconds)
{
    return Lines({{0, "<?xml version=\"1.0\"?>"},
                  {24, "<vxml version=\"1.0\">"},
                  {24, "<form id=\"EnterPIN\">"},
                  {26, "<!-- Set this property for the time to wait for input -->"},
                  {26, "<property name=\"timeout\" value=\"" + std::to_string(timeoutSeconds) + "s\"/>"},
                  {26, "<var name=\"state\" expr=\"'enterpin'\" />  "},
                  {26, "<break msecs=\"1000\"/>"},
                  {26, "<field name=\"enteredDigits\">"},
                  {28, "<grammar mode=\"dtmf\" type=\"X-OPAL/digits\">minDigits=1;maxDigits=11;" +
                           std::string(32, ' ') + "terminators=#"},
                  {28, "</grammar>"},
                  {28, "<prompt>"},
                  {32, "<audio src=\"file:" + dir + "/ogm/" + file + "\">"},
                  {34, "Please enter the pin-code ."},
                  {32, "</audio>"},
                  {30, "</prompt>"},
                  {26, "</field>"},
                  {26, "<filled>"},
                  {28, "<var name=\"pin_code\" expr=\"enteredDigits\"/>"},
                  {26, "</filled>"},
                  {26, "<noinput>"},
                  {28, "<var name=\"pin_code\" expr=\"\"/>"},
                  {26, "</noinput>"},
                  {26, "<break msecs=\"10000\"/>"},
                  {24, "</form>"},
                  {22, "</vxml>"}});
}

inline std::string EnterNumberDocument(const std::string& dir, int timeoutSeconds)
{
    return Lines({{0, "<?xml version=\"1.0\"?>"},
                  {24, "<vxml version=\"1.0\">"},
                  {24, "<break msecs=\"600\"/>"},
                  {24, "<form id=\"DoTransfer\">"},
                  {24, "<!-- Set this property for the time to wait for input --> "},
                  {24, "<property name=\"timeout\" value=\"" + std::to_string(timeoutSeconds) + "s\"/>"},
                  {24, "<var name=\"state\" expr=\"'transfer'\" />  "},
                  {26, "<field name=\"enteredDigits\">"},
                  {28, "<grammar mode=\"dtmf\" type=\"X-OPAL/digits\">minDigits=1;maxDigits=13;" +
                           std::string(30, ' ') + "terminators=#"},
                  {28, "</grammar>"},
                  {28, "<prompt>"},
                  {30, "<audio src=\"file:" + dir + "/ogm/ogm6-enternumber.wav\">"},
                  {32, "Please enter the number of the person you wish to connect to."},
                  {30, "</audio>"},
                  {28, "</prompt>"},
                  {26, "</field>"},
                  {26, "<filled>"},
                  {28, "<!-- <value expr=\"'Entered '+enteredDigits\" /> -->"},
                  {28, "<!-- <transfer type=\"false\" destexpr=\"'sip:'+enteredDigits\" />-->"},
                  {28, "<var name=\"transfer_to\" expr=\"enteredDigits\"/>"},
                  {26, "</filled>"},
                  {26, "</form>"},
                  {22, "</vxml>"}});
}

inline std::string WaitTransferDocument(const std::string& dir)
{
    return Lines({{0, "<?xml version=\"1.0\"?>"},
                  {24, "<vxml version=\"1.0\">"},
                  {26, "<form id=\"DoTransfer\">"},
                  {26, "<var name=\"state\" expr=\"'do_transfer'\" />  "},
                  {29, "<prompt>"},
                  {30, "<audio src=\"file:" + dir + "/ogm/ogm8-waittransfer.wav\">"},
                  {32, "Please wait. You will be transfered."},
                  {30, "</audio>"},
                  {28, "</prompt>"},
                  {28, "<transfer type=\"false\" destexpr=\"'sip:'+transfer.transfer_num\" />"},
                  {26, "</form>"},
                  {26, "</vxml>"}});
}

// With the "ivr:" prefix, as the transfer party address carries it.
inline std::string WaitConnectAddress(const std::string& dir)
{
    return Lines({{0, "ivr:<?xml version=\"1.0\"?>"},
                  {24, "<vxml version=\"1.0\">"},
                  {26, "<form id=\"WaitConnect\">"},
                  {29, "<break msecs=\"3000\"/>"},
                  {29, "<audio src=\"file:" + dir + "/ogm/waitconnect.wav\">"},
                  {35, "Please wait You will be connected." + std::string(31, ' ') + "</audio>"},
                  {30, "<break msecs=\"3000\"/>"},
                  {26, "</form>"},
                  {26, "</vxml>"}});
}

} // namespace voip::test
