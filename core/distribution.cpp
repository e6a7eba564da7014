#include "core/main_form.h"

namespace vistrel {

void TMainForm::DistributeDemoWalk() {}

}  // namespace vistrel
