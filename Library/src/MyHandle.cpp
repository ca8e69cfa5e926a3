#include "KivraHardwareAPI/MyHandle.h"

namespace Kivra::HardwareAPI::Devices {

MyHandle::MyHandle(IO::SerialStream* stream) : Handle(stream) {}

void MyHandle::OnReceiveHandleInfo(uint8_t, uint16_t, uint8_t, uint8_t, uint8_t) { found = true; }

void MyHandle::OnReceiveHandleStatusMessage(uint16_t, const float*, uint8_t, uint8_t, uint8_t, const uint8_t*) {
    found = true;
}

}  // namespace Kivra::HardwareAPI::Devices
