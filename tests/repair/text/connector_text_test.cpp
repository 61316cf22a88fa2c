// The connector number as text: unsigned decimal digits only.
#include "repair/text/connector_text.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <string>

namespace {

struct ConnectorRow {
  std::uint32_t connector;
  std::u16string text;
};

class ConnectorText : public testing::TestWithParam<ConnectorRow> {};

TEST_P(ConnectorText, IsWrittenAsUnsignedDecimalDigits) {
  char16_t buffer[vddb::text::kConnectorTextLimit];
  for (char16_t& unit : buffer) unit = u'#';
  const std::size_t length = vddb::text::formatConnectorText(GetParam().connector, buffer);
  EXPECT_EQ(std::u16string(buffer, buffer + length), GetParam().text);
  EXPECT_EQ(buffer[length], 0) << "zero-terminated";
}

INSTANTIATE_TEST_SUITE_P(CaseInsensitiveText, ConnectorText,
                         testing::Values(ConnectorRow{0, u"0"}, ConnectorRow{1, u"1"},
                                         ConnectorRow{9, u"9"}, ConnectorRow{10, u"10"},
                                         ConnectorRow{100, u"100"},
                                         ConnectorRow{2147483647, u"2147483647"},
                                         ConnectorRow{2147483648u, u"2147483648"},
                                         ConnectorRow{4294967295u, u"4294967295"}));

}  // namespace
