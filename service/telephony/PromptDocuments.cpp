#include "service/telephony/PromptDocuments.h"

namespace {

std::string Indent(int spaces)
{
    return std::string(static_cast<size_t>(spaces), ' ');
}

// Lines joined by single line feeds, with no line feed after the last.
std::string Join(const std::vector<std::string>& lines)
{
    std::string out;
    for (size_t i = 0; i < lines.size(); ++i) {
        if (i)
            out += '\n';
        out += lines[i];
    }
    return out;
}

std::string Audio(const std::string& directory, const std::string& file)
{
    return "<audio src=\"file:" + directory + "/ogm/" + file + "\">";
}

std::string AnnounceAndHangUp(const std::string& directory, const std::string& state, const std::string& file,
                              const std::string& text)
{
    std::vector<std::string> lines = {"<?xml version=\"1.0\"?>", Indent(24) + "<vxml version=\"1.0\">",
                                      Indent(26) + "<form id=\"HangUp\">"};
    if (!state.empty())
        lines.push_back(Indent(26) + "<var name=\"state\" expr=\"'" + state + "'\" />  ");
    lines.push_back(Indent(29) + Audio(directory, file));
    lines.push_back(Indent(35) + text + Indent(31) + "</audio>");
    lines.push_back(Indent(30) + "<break msecs=\"3000\"/>");
    lines.push_back(Indent(29) + "<disconnect/>");
    lines.push_back(Indent(26) + "</form>");
    lines.push_back(Indent(26) + "</vxml>");
    return Join(lines);
}

std::string EnterPin(const std::string& directory, const std::string& file, int timer)
{
    return Join({"<?xml version=\"1.0\"?>",
                 Indent(24) + "<vxml version=\"1.0\">",
                 Indent(24) + "<form id=\"EnterPIN\">",
                 Indent(26) + "<!-- Set this property for the time to wait for input -->",
                 Indent(26) + "<property name=\"timeout\" value=\"" + std::to_string(timer) + "s\"/>",
                 Indent(26) + "<var name=\"state\" expr=\"'enterpin'\" />  ",
                 Indent(26) + "<break msecs=\"1000\"/>",
                 Indent(26) + "<field name=\"enteredDigits\">",
                 Indent(28) + "<grammar mode=\"dtmf\" type=\"X-OPAL/digits\">minDigits=1;maxDigits=11;" +
                     Indent(32) + "terminators=#",
                 Indent(28) + "</grammar>",
                 Indent(28) + "<prompt>",
                 Indent(32) + Audio(directory, file),
                 Indent(34) + "Please enter the pin-code .",
                 Indent(32) + "</audio>",
                 Indent(30) + "</prompt>",
                 Indent(26) + "</field>",
                 Indent(26) + "<filled>",
                 Indent(28) + "<var name=\"pin_code\" expr=\"enteredDigits\"/>",
                 Indent(26) + "</filled>",
                 Indent(26) + "<noinput>",
                 Indent(28) + "<var name=\"pin_code\" expr=\"\"/>",
                 Indent(26) + "</noinput>",
                 Indent(26) + "<break msecs=\"10000\"/>",
                 Indent(24) + "</form>",
                 Indent(22) + "</vxml>"});
}

std::string EnterNumber(const std::string& directory, int timer)
{
    return Join({"<?xml version=\"1.0\"?>",
                 Indent(24) + "<vxml version=\"1.0\">",
                 Indent(24) + "<break msecs=\"600\"/>",
                 Indent(24) + "<form id=\"DoTransfer\">",
                 Indent(24) + "<!-- Set this property for the time to wait for input --> ",
                 Indent(24) + "<property name=\"timeout\" value=\"" + std::to_string(timer) + "s\"/>",
                 Indent(24) + "<var name=\"state\" expr=\"'transfer'\" />  ",
                 Indent(26) + "<field name=\"enteredDigits\">",
                 Indent(28) + "<grammar mode=\"dtmf\" type=\"X-OPAL/digits\">minDigits=1;maxDigits=13;" +
                     Indent(30) + "terminators=#",
                 Indent(28) + "</grammar>",
                 Indent(28) + "<prompt>",
                 Indent(30) + Audio(directory, "ogm6-enternumber.wav"),
                 Indent(32) + "Please enter the number of the person you wish to connect to.",
                 Indent(30) + "</audio>",
                 Indent(28) + "</prompt>",
                 Indent(26) + "</field>",
                 Indent(26) + "<filled>",
                 Indent(28) + "<!-- <value expr=\"'Entered '+enteredDigits\" /> -->",
                 Indent(28) + "<!-- <transfer type=\"false\" destexpr=\"'sip:'+enteredDigits\" />-->",
                 Indent(28) + "<var name=\"transfer_to\" expr=\"enteredDigits\"/>",
                 Indent(26) + "</filled>",
                 Indent(26) + "</form>",
                 Indent(22) + "</vxml>"});
}

std::string WaitTransfer(const std::string& directory)
{
    return Join({"<?xml version=\"1.0\"?>", Indent(24) + "<vxml version=\"1.0\">",
                 Indent(26) + "<form id=\"DoTransfer\">",
                 Indent(26) + "<var name=\"state\" expr=\"'do_transfer'\" />  ", Indent(29) + "<prompt>",
                 Indent(30) + Audio(directory, "ogm8-waittransfer.wav"),
                 Indent(32) + "Please wait. You will be transfered.", Indent(30) + "</audio>",
                 Indent(28) + "</prompt>",
                 Indent(28) + "<transfer type=\"false\" destexpr=\"'sip:'+transfer.transfer_num\" />",
                 Indent(26) + "</form>", Indent(26) + "</vxml>"});
}

std::string WaitConnectAddress(const std::string& directory)
{
    return Join({"ivr:<?xml version=\"1.0\"?>", Indent(24) + "<vxml version=\"1.0\">",
                 Indent(26) + "<form id=\"WaitConnect\">", Indent(29) + "<break msecs=\"3000\"/>",
                 Indent(29) + Audio(directory, "waitconnect.wav"),
                 Indent(35) + "Please wait You will be connected." + Indent(31) + "</audio>",
                 Indent(30) + "<break msecs=\"3000\"/>", Indent(26) + "</form>", Indent(26) + "</vxml>"});
}

} // namespace

PromptDocuments PromptDocuments::Build(const std::string& directory, int enterPinTimer, int enterNumberTimer)
{
    PromptDocuments d;
    d.wrongCid =
        AnnounceAndHangUp(directory, {}, "ogm2-wrongcid.wav", "Service is unavailable for You. Good bye.");
    d.queueFull =
        AnnounceAndHangUp(directory, {}, "ogm3-queuefull.wav", "Queue is full. Recall later. Good bye.");
    d.enterPin = EnterPin(directory, "ogm4-enterpin.wav", enterPinTimer);
    d.enterPinAgain = EnterPin(directory, "ogm41-enterpinagain.wav", enterPinTimer);
    d.wrongPin = AnnounceAndHangUp(directory, "wrong_pin", "ogm5-wrongpin.wav", "Wrong PIN entered.");
    d.enterNumber = EnterNumber(directory, enterNumberTimer);
    d.transferDenied =
        AnnounceAndHangUp(directory, "transfer_denied", "ogm7-transferdenied.wav", "Transfer denied.");
    d.waitTransfer = WaitTransfer(directory);
    d.transferFailed = AnnounceAndHangUp(directory, "transfer_failed", "ogm9-transferfailed.wav",
                                         "The number could not be reached.");
    d.transferParty = WaitConnectAddress(directory);
    d.welcome = AnnounceAndHangUp(directory, {}, "ogm1-welcome.wav", "Please wait callback.");
    d.callbackParty = "ivr:" + d.enterPin;
    return d;
}

std::vector<std::pair<std::string, std::string>> PromptDocuments::All() const
{
    return {{"wrong caller ID", wrongCid},
            {"queue full", queueFull},
            {"enter PIN", enterPin},
            {"enter PIN again", enterPinAgain},
            {"wrong PIN", wrongPin},
            {"enter number", enterNumber},
            {"transfer denied", transferDenied},
            {"wait transfer", waitTransfer},
            {"transfer failed", transferFailed},
            {"wait connect (transfer party address)", transferParty},
            {"welcome", welcome},
            {"callback party address", callbackParty}};
}
