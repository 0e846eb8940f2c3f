// A plug-in for the host runtime's tests only: its slider picks one way of using (or misusing) the
// host, so the tests can see that the runtime notices each misuse and reclaims what was left.
#include "operator_frame.h"

enum Mode {
  MODE_WELL_BEHAVED = 0,
  MODE_PUT_TWICE = 1,
  MODE_FREE_TWICE = 2,
  MODE_FREE_UNKNOWN = 3,
  MODE_LEAVE_INPUT1 = 4,
  MODE_WRITE_OUTSIDE_AREA = 5,
  MODE_WRITE_PAST_BUFFER = 6,
  MODE_PUT_TEXTURE = 7,
  MODE_KEEP_TEXTURE = 8,
  MODE_WRITE_TEXTURE = 9,
  MODE_NEW_IMAGE = 10,
  MODE_ESCAPE_TEXTURES = 11,
  MODE_PUT_NOTHING = 12,
  MODE_POLL_ABORT = 13,
  MODE_GET_AGAIN = 14,
  MODE_LAST = 14
};

static ParamSlider misbehaveMode = {OP_PARAM_HEAD(PARAM_SLIDER, 10), 0, 11, 0, 0, MODE_LAST, 0};
static const char misbehaveIdent[] = "$Id: KT3_Misbehave,v 1.0 2014/03/20 00:00:00 Test $";
static uintptr_t misbehaveInfo[] = {OPE_Tag00,  0, OPE_Tag01, 0, OPE_Action, (uintptr_t)&OperatorAction,
                                    OPE_Ident,  (uintptr_t)misbehaveIdent, OPE_Tag0D, 2,
                                    OPE_Param1, (uintptr_t)&misbehaveMode, OPE_End};
static const opframe::ModuleLog misbehaveLog = {"src\\Misbehave", 0x0B7F0000};

static OpImage* texture;

static int misbehaveOpen(const OperatorContext*) {
  const char* path = misbehaveMode.value == MODE_ESCAPE_TEXTURES ? "/programs/kt3/../secret.png"
                                                                  : "/programs/kt3/t.png";
  texture = txGetOpImageFile(path, 1);
  return texture != nullptr ? 0 : -1;
}

static int misbehaveClose(const OperatorContext*) {
  if (texture != nullptr && misbehaveMode.value != MODE_KEEP_TEXTURE) opFreeImage(texture);
  texture = nullptr;
  return 0;
}

static int misbehaveRender(const OperatorContext* context) {
  OpImage* input0 = opframe::fetchInput(0, context, misbehaveLog, 1);
  if (input0 == nullptr) return -1;
  OpImage* input1 = opframe::fetchInput(1, context, misbehaveLog, 2);
  if (input1 == nullptr) return -1;
  const opframe::Area area = opframe::areaOf(input0);
  switch (misbehaveMode.value) {
    case MODE_PUT_TWICE:
      opFreeImage(input1);
      opPutField(input0);
      return opPutField(input0);
    case MODE_FREE_TWICE:
      opFreeImage(input1);
      opFreeImage(input1);
      return opPutField(input0);
    case MODE_FREE_UNKNOWN: {
      static OpImage stray;
      opFreeImage(&stray);
      break;
    }
    case MODE_LEAVE_INPUT1:
      return opPutField(input0);
    case MODE_WRITE_OUTSIDE_AREA:
      opframe::pixelAt(input0, area, area.width, 0)[0] ^= 0xFF;
      break;
    case MODE_WRITE_PAST_BUFFER:
      input0->pixels[(ptrdiff_t)input0->stride * input0->rows * PIXEL_BYTES + 7] ^= 0xFF;
      break;
    case MODE_PUT_TEXTURE:
      opFreeImage(input1);
      opFreeImage(input0);
      return opPutField(texture);
    case MODE_WRITE_TEXTURE:
      texture->pixels[0] ^= 0xFF;
      break;
    case MODE_NEW_IMAGE: {
      OpImage* output = opAllocImage(-1, -1, 1, 0);
      if (output == nullptr) return -1;
      for (int32_t j = 0; j < area.height; ++j)
        for (int32_t i = 0; i < area.width; ++i) opframe::pixelAt(output, area, i, j)[3] = 77;
      opFreeImage(input0);
      opFreeImage(input1);
      return opPutField(output);
    }
    case MODE_PUT_NOTHING:
      return 0;
    case MODE_GET_AGAIN: {
      // Changes input 0 in place, then asks for it again and puts what it gets.
      for (int32_t j = 0; j < area.height; ++j)
        for (int32_t i = 0; i < area.width; ++i) opframe::pixelAt(input0, area, i, j)[3] ^= 0x5A;
      OpImage* again = opGetField(0, context->position);
      if (again == nullptr) return -1;
      opFreeImage(input0);
      opFreeImage(input1);
      return opPutField(again);
    }
    case MODE_POLL_ABORT:
      opChkAbort();
      opChkAbort();
      opChkAbort();
      break;
    default:
      break;
  }
  opFreeImage(input1);
  return opPutField(input0);
}

static const opframe::ActionHooks misbehaveHooks = {misbehaveOpen, misbehaveClose, misbehaveRender};

extern "C" int OperatorAction(OperatorContext* context) {
  return opframe::dispatch(context, misbehaveHooks);
}

extern "C" uintptr_t* GetOperatorInfo(void) { return misbehaveInfo; }
