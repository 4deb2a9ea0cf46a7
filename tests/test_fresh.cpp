// A process whose converter table was never touched.
#include <gtest/gtest.h>

#include "pesmo6.h"

TEST(FreshLibrary, EmptyConverterTable) {
  EXPECT_EQ(W7410(0, "A"), -1);
  EXPECT_STREQ(Erro_Validacao(), "N\xE3o existe IP registrado !\n\rUtilize a fun\xE7\xE3o Seta_Ip.");
  EXPECT_EQ(Seta_Ip(""), 0) << "the first converter is number 0, even with an empty address";
  EXPECT_EQ(W7410(0, "A"), 0);
  EXPECT_EQ(Select_Canal(0), 0) << "an empty address connects to nothing";
  Deleta_Canal(0);
}
