// The module's class objects, instances, lock count and automation.
#include <windows.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "framework/com_ptr.h"
#include "framework/module.h"
#include "tdm_h.h"

using namespace tdm;

namespace {

struct ComApartment
{
    ComApartment() { ::CoInitializeEx(nullptr, COINIT_APARTMENTTHREADED); }
    ~ComApartment() { ::CoUninitialize(); }
};

com_ptr<IClassFactory> ClassObject(REFCLSID clsid)
{
    com_ptr<IClassFactory> factory;
    EXPECT_EQ(S_OK, CModule::Instance().GetClassObject(clsid, IID_IClassFactory, factory.put_void()));
    return factory;
}

const CLSID* const kAllClasses[] = {&CLSID_TolDloadMr, &CLSID_TolBand, &CLSID_TolDownloadHelper,
                                    &CLSID_TolDownloadToolbar};

}  // namespace

TEST(ModuleTest, UnknownClassIsNotAvailable)
{
    com_ptr<IClassFactory> factory;
    EXPECT_EQ(CLASS_E_CLASSNOTAVAILABLE,
              CModule::Instance().GetClassObject(IID_IUnknown, IID_IClassFactory, factory.put_void()));
    EXPECT_FALSE(factory);
}

TEST(ModuleTest, EveryClassCreatesInstancesAnsweringIDispatch)
{
    ComApartment apartment;
    for (const CLSID* clsid : kAllClasses)
    {
        com_ptr<IClassFactory> factory = ClassObject(*clsid);
        ASSERT_TRUE(factory);
        com_ptr<IDispatch> object;
        EXPECT_EQ(S_OK, factory->CreateInstance(nullptr, IID_IDispatch, object.put_void()));
        EXPECT_TRUE(object);
    }
    EXPECT_EQ(0, CModule::Instance().LockCount());
}
