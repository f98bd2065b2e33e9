#pragma once

class ComPort;
class DhUploadProcedure;
class IProcedure;

// Hands the GCU's answers on the link to a procedure, as its owner would: every
// result code, and for a secure upload the key-exchange answer.
void routeAnswers(ComPort& link, IProcedure& procedure, DhUploadProcedure* secure = nullptr);
