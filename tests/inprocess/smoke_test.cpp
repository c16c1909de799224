#include <gtest/gtest.h>

#include "model.h"

extern "C" JNIEXPORT void JNICALL Java_tesmar_nuvrak_zev_VMZEV_retransformClasses0(JNIEnv*, jobject,
                                                                                 jobjectArray);

TEST(Smoke, RequestRetransformRelease) {
    model::start();
    model::Thread t("main");
    model::load(t);
    const RecorderUpcalls* up = model::recorder().upcalls;
    ASSERT_NE(up, nullptr);
    jstring s = up->check_recording(&t, "a", 1, false);
    EXPECT_EQ(model::text(model::deref(s)), "check a");
    t.DeleteLocalRef(s);
    model::java().transform = [](model::Thread&, model::Object* klass, model::Object*) {
        model::Bytes b = klass->original + " probed";
        return model::newByteArray(b.data(), static_cast<int32_t>(b.size()));
    };
    model::Object* self = model::java().zevGet(t);
    model::Object* list = model::newObjectArray("java/lang/Class", 2);
    list->elements[0] = model::classObject("model/Alpha");
    list->elements[1] = model::classObject("model/Beta");
    model::inFrame(t, [&](JNIEnv* env) {
        Java_tesmar_nuvrak_zev_VMZEV_retransformClasses0(env, t.local(self), t.local<jobjectArray>(list));
        return nullptr;
    });
    EXPECT_EQ(model::classObject("model/Alpha")->current, "class model/Alpha probed");
    for (auto& line : t.log) printf("%d %s\n", line.level, line.text.c_str());
    EXPECT_EQ(model::finish(t), "");
}
