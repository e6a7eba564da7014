// Sender connections: not handled yet.
#include "core/demo_sender.h"
#include "core/main_form.h"

namespace vistrel {

void TMainForm::DemoSendersClientConnect(TWSocketServer&, TWSocketClient&, uint16_t) {}
void TMainForm::DemoSendersClientDisconnect(TWSocketServer&, TWSocketClient&, uint16_t) {}

}  // namespace vistrel
