// The SIP legs of an endpoint's lines as a PBX that follows those lines sees them: what happens to each
// leg placed from a line or offered to one, a say before a call from a line leaves, and the join of two
// answered legs' far parties (SipEndpoint::JoinLegs).
#pragma once

#include <cstdint>
#include <string>

namespace voip {

class SipEndpoint;

enum class LegEvent {
    Placed,   // an INVITE left from the line
    Offered,  // an INVITE to the line arrived
    Ringing,  // the far party rings (a provisional answer)
    Answered, // the dialog is up
    Refused,  // a final refusal of a placed leg (status)
    Hold,     // the far party put the leg on hold (sendonly or inactive re-offer)
    Resumed,  // and took it off again
    Released, // the application let go of the leg: it ended, or it was cleared while joined
    Joined,   // the leg's far party now talks with the partner leg's far party
    JoinEnded // the join is over (why); both dialogs are being ended
};

enum class JoinEnd { HungUp, TimeLimit, MediaTimeout };

struct LegReport
{
    LegEvent event = LegEvent::Placed;
    uint64_t leg = 0;    // the leg's id, unique for the endpoint's life
    std::string line;    // the line the leg was placed from or offered to
    bool incoming = false;
    std::string remote;  // the far party's user part
    int status = 0;      // Refused: the final status
    uint64_t partner = 0; // Joined, JoinEnded: the other leg
    JoinEnd ended = JoinEnd::HungUp; // JoinEnded: the leg's party hung up, or the join ran out
};

class LineLegObserver
{
public:
    virtual ~LineLegObserver() = default;
    // The reports of one leg arrive in the order they happened, after the leg's connection has had
    // its own, on the manager's workers (never the stack's thread).
    virtual void OnLegReport(SipEndpoint& endpoint, const LegReport& report) = 0;
    // Asked on the stack's thread before a call placed from line to the destination's user part
    // leaves; a status (403) refuses it with no INVITE sent, 0 lets it go. It must answer at once.
    virtual int AdmitOutgoing(const std::string& line, const std::string& destination) { return 0; }
};

} // namespace voip
