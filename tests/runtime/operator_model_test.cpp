// Reading a plug-in's tag list into the host's model, and refusing lists that are not well formed.
#include <gtest/gtest.h>

#include "host_error.h"
#include "operator_model.h"

using ophost::HostError;
using ophost::ParamKind;
using ophost::readOperatorInfo;

namespace {

int dummyAction(OperatorContext*) { return 0; }
const char ident[] = "$Id: KT3_Test,v 1.0 2014/03/20 00:00:00 Vethmar $";
const uint32_t entries[] = {111, 112, 0};
ParamChoice choice = {OP_PARAM_HEAD(PARAM_CHOICE, 110), CHOICE_STYLE_TEXT, entries, 1};
ParamColour colour = {OP_PARAM_HEAD(PARAM_COLOUR, 930), 0, 0xEB8080FF};
ParamSlider slider = {OP_PARAM_HEAD(PARAM_SLIDER, 130), 0, 131, 0, 1, 99, 50};

uintptr_t action() { return reinterpret_cast<uintptr_t>(&dummyAction); }
uintptr_t address(const void* p) { return reinterpret_cast<uintptr_t>(p); }

}  // namespace

TEST(OperatorModel, ReadsEveryKindAndStopsAtTheEndTagWithoutAValueWord) {
  // The end tag is the last word of the array: a reader that looked for its value would read past.
  uintptr_t* info = new uintptr_t[17]{OPE_Tag00, 0, OPE_Tag01, 1, OPE_Action, action(), OPE_Ident,
                                      address(ident), OPE_Tag0D, 2, OPE_Param1, address(&choice),
                                      OPE_Param2, address(&colour), OPE_Param3, address(&slider), OPE_End};
  const auto model = readOperatorInfo(info);
  delete[] info;
  EXPECT_EQ(model.pairs.size(), 8u);
  EXPECT_EQ(model.tag01, 1u);
  EXPECT_TRUE(model.singleInput());
  EXPECT_EQ(model.tag0D, 2u);
  EXPECT_EQ(model.ident, ident);
  ASSERT_EQ(model.params.size(), 3u);
  EXPECT_EQ(model.params[0].kind, ParamKind::Choice);
  EXPECT_EQ(model.params[0].label, 110);
  EXPECT_EQ(model.params[0].entries, (std::vector<uint32_t>{111, 112}));
  EXPECT_EQ(model.params[0].max, 1);
  EXPECT_EQ(model.params[0].defaultValue, 1);
  EXPECT_EQ(model.params[0].valueWord, reinterpret_cast<uint32_t*>(&choice.value));
  EXPECT_EQ(model.params[1].kind, ParamKind::Colour);
  EXPECT_EQ(static_cast<uint32_t>(model.params[1].defaultValue), 0xEB8080FFu);
  EXPECT_EQ(model.params[1].highest(), 0xFFFFFFFFll);
  EXPECT_EQ(model.params[2].kind, ParamKind::Slider);
  EXPECT_EQ(model.params[2].subLabel, 131u);
  EXPECT_EQ(model.params[2].min, 1);
  EXPECT_EQ(model.params[2].max, 99);
}

TEST(OperatorModel, RefusesMalformedLists) {
  const uintptr_t unknownTag[] = {OPE_Action, action(), OPE_Ident, address(ident), 0x4F504599, 0, OPE_End};
  const uintptr_t noAction[] = {OPE_Ident, address(ident), OPE_End};
  const uintptr_t noIdent[] = {OPE_Action, action(), OPE_End};
  const uintptr_t twice[] = {OPE_Action, action(), OPE_Ident, address(ident), OPE_Tag00, 0, OPE_Tag00, 0, OPE_End};
  const uintptr_t gap[] = {OPE_Action, action(), OPE_Ident, address(ident), OPE_Param2, address(&slider), OPE_End};
  ParamSlider badDefault = {OP_PARAM_HEAD(PARAM_SLIDER, 130), 0, 131, 0, 1, 99, 100};
  const uintptr_t outOfRange[] = {OPE_Action, action(), OPE_Ident, address(ident), OPE_Param1,
                                  address(&badDefault), OPE_End};
  uint32_t badKind[] = {OP_PARAM_HEAD(7, 130), 0, 0, 0, 0, 0, 0};
  const uintptr_t unknownKind[] = {OPE_Action, action(), OPE_Ident, address(ident), OPE_Param1,
                                   address(badKind), OPE_End};
  std::vector<uintptr_t> endless;
  for (int n = 0; n < 100; ++n) endless.insert(endless.end(), {OPE_Tag00, 0});
  endless.push_back(OPE_End);
  for (const uintptr_t* list : {unknownTag, noAction, noIdent, twice, gap, outOfRange, unknownKind,
                                static_cast<const uintptr_t*>(endless.data())}) {
    EXPECT_THROW(readOperatorInfo(list), HostError);
  }
  EXPECT_THROW(readOperatorInfo(nullptr), HostError);
}
