#include "console/CallOutcomes.h"

#include <QCoreApplication>

namespace console {

QString IncomingResultText(int result)
{
    switch (result) {
    case 0: return QCoreApplication::translate("CallOutcomes", "Not a subscriber");
    case 1: return QCoreApplication::translate("CallOutcomes", "Queued for a callback");
    case 2: return QCoreApplication::translate("CallOutcomes", "Queue full");
    case 3: return QCoreApplication::translate("CallOutcomes", "Locked out (wrong PINs)");
    default: return QCoreApplication::translate("CallOutcomes", "Unknown (%1)").arg(result);
    }
}

QString CallbackOutcomeText(int reason, bool open)
{
    if (open)
        return QCoreApplication::translate("CallOutcomes", "Under way");
    switch (reason) {
    case 1: return QCoreApplication::translate("CallOutcomes", "No answer");
    case 2: return QCoreApplication::translate("CallOutcomes", "Refused");
    case 3: return QCoreApplication::translate("CallOutcomes", "Set-up failed");
    case 4: return QCoreApplication::translate("CallOutcomes", "PIN failed");
    case 5: return QCoreApplication::translate("CallOutcomes", "Hung up");
    case 6: return QCoreApplication::translate("CallOutcomes", "Transfer denied");
    case 7: return QCoreApplication::translate("CallOutcomes", "Transfer failed");
    case 8: return QCoreApplication::translate("CallOutcomes", "Transferred");
    case 9: return QCoreApplication::translate("CallOutcomes", "Interrupted by a stop");
    default: return QCoreApplication::translate("CallOutcomes", "Unknown (%1)").arg(reason);
    }
}

} // namespace console
