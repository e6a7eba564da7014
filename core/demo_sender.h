// TDemoSender: one sender (camera) connection, made by DemoSenders for every
// accepted connection and owned by it.
#pragma once

#include <cstdint>
#include <string>

#include "net/wsocket_client.h"

namespace vistrel {

class TDemoSender : public TWSocketClient {
public:
    using TWSocketClient::TWSocketClient;
};

}  // namespace vistrel
