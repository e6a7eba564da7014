// Viewer connections: not handled yet.
#include "core/demo_viewer.h"
#include "core/main_form.h"

namespace vistrel {

void TMainForm::DemoViewersClientConnect(TWSocketServer&, TWSocketClient&, uint16_t) {}
void TMainForm::DemoViewersClientDisconnect(TWSocketServer&, TWSocketClient&, uint16_t) {}

}  // namespace vistrel
