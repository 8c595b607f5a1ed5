// What a mailing run tells whoever shows it (the wizard's last page), and the one question it asks.
#pragma once

#include "mailing/DeliveryStatus.h"

#include <QDateTime>
#include <QString>

class TMailingRunView {
public:
    virtual ~TMailingRunView() = default;

    // The current step: "Connecting", "Connected", "Sending mail #n", "Wait until ...", "Disconnected".
    virtual void RunStatus(const QString& status) = 0;
    // The mailbox the current message goes to; empty when none.
    virtual void RunRecipient(const QString& recipient) = 0;
    // The position (last record taken up) and its share of the scope in percent.
    virtual void RunProgress(int position, int percent) = 0;
    virtual void RunCounts(const TRunCounts& counts) = 0;
    // When the run will be done at the present pace (and within the throttle).
    virtual void RunExpectedEnd(const QDateTime& end) = 0;
    // The connections open now, of the number the run was asked to use (told when either changes).
    virtual void RunConnections(int /*open*/, int /*wanted*/) {}
    // One line for the log memo.
    virtual void RunLine(const QString& line) = 0;
    // The run ends early (a user abort or a lost connection).
    virtual void RunAborted() = 0;
    // The user pressed Stop: true to end the run now.
    virtual bool RunConfirmStop() = 0;
};
