#include "answerrouter.h"

#include "comport.h"
#include "dhuploadprocedure.h"
#include "gcu.pb.h"

void routeAnswers(ComPort& link, IProcedure& procedure, DhUploadProcedure* secure)
{
    QObject::connect(&link, &ComPort::commandRead, [&procedure, secure](std::string payload) {
        Response response;
        if (!response.ParseFromString(payload))
            return;
        if (response.resp_case() == Response::kResult)
            procedure.commandRsult(static_cast<FirmwareCommandResult>(response.result()));
        else if (secure && response.resp_case() == Response::kKeyExchange)
            secure->keyExchangeResult(FirmwareCommandAccepted,
                                      response.key_exchange().SerializeAsString());
    });
}
