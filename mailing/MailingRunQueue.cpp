// Messages handed to the client as a queue: the next one goes while the server still answers the last, and the
// result of each comes back to the record it was made for.
#include "mailing/MailingRun.h"

#include "mailing/MailingRunView.h"
#include "smtp/MailMessage.h"
#include "smtp/SmtpClient.h"

void TMailingRun::SendQueue(TRecipient first) {
    std::optional<TRecipient> pending = std::move(first);
    FQueueing = true;
    struct TQueueEnd {
        bool& Queueing;
        ~TQueueEnd() { Queueing = false; }
    } end{FQueueing};
    FClient->MailQueue(
        [this, &pending](TMailMessage& message, int& id) {
            if (!pending) {
                Clock::duration wait{};
                return NextForClient(message, id, wait) == TNext::Message;
            }
            id = HandOut(std::move(*pending), message);
            pending.reset();
            return true;
        },
        [this](int id, bool accepted) { Delivered(id, accepted); });
}

TMailingRun::TNext TMailingRun::NextForClient(TMailMessage& message, int& id, Clock::duration& wait) {
    ProcessMessages();
    TRecipient recipient;
    const TNext next = NextMessage(recipient, wait);
    if (next == TNext::Message)
        id = HandOut(std::move(recipient), message);
    return next;
}

int TMailingRun::HandOut(TRecipient recipient, TMailMessage& message) {
    ++recipient.Attempt;
    recipient.MarkRow = 0;
    FView.RunStatus(QStringLiteral("Sending mail #%1").arg(recipient.Position));
    FView.RunRecipient(QString::fromStdString(recipient.HdrTo));
    FLastSend = Clock::now();
    ++FAttempts;
    message = Message(FOwnClient, FSettings, recipient);
    const int id = ++FLastId;
    FInFlight.emplace(id, std::move(recipient));
    return id;
}

void TMailingRun::Delivered(int id, bool accepted) {
    const auto found = FInFlight.find(id);
    if (found == FInFlight.end())
        return;
    TRecipient recipient = std::move(found->second);
    FInFlight.erase(found);
    FLastTo = recipient.HdrTo;
    // Each message's failure is reported on its own, on a kept connection too.
    FErrorReported = false;
    const TDeliveryStatus status = Classify(accepted);
    const int code = FClient->LastReplyCode();
    if (FInterrupted && !accepted) {
        // Given up by the user: no failure of the server to report. A message that may have arrived is recorded;
        // one that cannot have arrived keeps the row it had (none, or DEFERRED for a retry).
        FErrorReported = true;
        if (status == TDeliveryStatus::Unknown)
            Record(recipient, status, 0, UnknownText(*FClient));
        else if (recipient.MarkRow > 0)
            Record(recipient, TDeliveryStatus::Deferred, 0, FClient->ErrorMessage()); // its end never left
        // Not delivered: a resumed run starts with the first such record.
        if (status == TDeliveryStatus::Aborted && recipient.Attempt == 1 &&
            (FGivenUp == 0 || recipient.RecNo < FGivenUp))
            FGivenUp = recipient.RecNo;
        return;
    }
    if (status == TDeliveryStatus::Unknown) {
        Record(recipient, status, code, UnknownText(*FClient));
        ReportUnknown(recipient);
        return;
    }
    Record(recipient, status, code, FClient->LastResponse());
    if (accepted)
        return;
    ReportStatus(recipient);
    if (status == TDeliveryStatus::Deferred)
        Schedule(recipient, code);
}
