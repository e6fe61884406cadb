// The registry as the program's static initialisation leaves it.
#include <gtest/gtest.h>

#include "lib/kt.h"

namespace {

TEST(Statics, RegistryHoldsTimeCodesThenTheOdbcTexts) {
    const kt::TList<kt::ErrCode>* reg = kt::ErrorRegistry();
    ASSERT_NE(reg, nullptr);
    ASSERT_GE(reg->count(), 11u);
    for (uint32_t i = 0; i < 11; ++i) EXPECT_EQ(reg->at(i)->code, 0x20000101u + i);
    EXPECT_EQ(reg->at(9)->text, L"Ошибка при обращении к базе данных");
    EXPECT_EQ(reg->at(10)->text, L"Нет данных");
    EXPECT_EQ(kt::result(0x20000103).descr(), L"Ошибка в номере года.");
}

}  // namespace
