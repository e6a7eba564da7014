// TDemoViewer: one viewer connection, made by DemoViewers for every accepted
// connection and owned by it.
#pragma once

#include <cstdint>
#include <string>

#include "net/wsocket_client.h"

namespace vistrel {

class TDemoViewer : public TWSocketClient {
public:
    using TWSocketClient::TWSocketClient;
};

}  // namespace vistrel
