// GoogleMock doubles of the configuration library, for tests where the order
// of the library calls is the point (the repair transaction, pass wiring).
// Header only: link GTest::gmock.
#pragma once

#include <gmock/gmock.h>

#include "store/configuration.h"

namespace vddb::testing {

class MockMHWConfiguration : public tMHWConfiguration {
 public:
  MOCK_METHOD(IkorrinStorage*, getStorage, (tStatus2 & status), (override));
  MOCK_METHOD(void, saveConfiguration, (tStatus2 & status), (override));
  MOCK_METHOD(void, revertConfiguration, (tStatus2 & status), (override));
  MOCK_METHOD(void, finalize, (tStatus2 & status), (override));
  MOCK_METHOD(tTrelixConfiguration&, getTrelixConfiguration, (), (override));
  MOCK_METHOD(tMordanConfiguration&, getMordanConfiguration, (), (override));
  MOCK_METHOD(tQuentaConfiguration&, getQuentaConfiguration, (), (override));
  MOCK_METHOD(tDeviceConfiguration&, getDeviceConfiguration, (), (override));
  virtual ~MockMHWConfiguration() = default;
};

}  // namespace vddb::testing
