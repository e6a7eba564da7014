#include "core/main_form.h"

namespace vistrel {

void TMainForm::HaltTransfer1Click(const std::vector<int32_t>&) {}
void TMainForm::DeleteGame1Click(const std::vector<int32_t>&) {}
void TMainForm::KickUser1Click(const std::vector<int32_t>&) {}

}  // namespace vistrel
