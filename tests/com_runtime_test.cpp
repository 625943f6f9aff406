#include "platform/com/com_runtime.h"

#include <gtest/gtest.h>

#include "control/guids.h"
#include "control/registration.h"
#include "platform/registry/registry.h"

TEST(ComRuntime, GuidText) {
    EXPECT_EQ(guidToString(CLSID_KSCapi), "{12A68E1B-90F9-4181-A48A-04DB481817BE}");
    GUID g;
    ASSERT_TRUE(guidFromString("{12a68e1b-90f9-4181-a48a-04db481817be}", g));
    EXPECT_TRUE(g == CLSID_KSCapi);
    for (const char* bad :
         {"", "12A68E1B-90F9-4181-A48A-04DB481817BE", "{12A68E1B-90F9-4181-A48A-04DB481817B}",
          "{12A68E1B+90F9-4181-A48A-04DB481817BE}", "{12A68E1B-90F9-4181-A48A-04DB481817BG}"}) {
        EXPECT_FALSE(guidFromString(bad, g)) << bad;
    }
}

TEST(ComRuntime, ProgIdsFollowCurVer) {
    ASSERT_EQ(registerServer("/nonexistent/libKestruneATL.so"), S_OK);
    CLSID clsid{};
    EXPECT_EQ(CLSIDFromProgID("kestruneatl.kscapi", &clsid), S_OK);  // names compare without case
    EXPECT_TRUE(clsid == CLSID_KSCapi);
    // Without its own CLSID key, the version-independent name goes through CurVer.
    ASSERT_EQ(RegDeleteTreeA(HKEY_CLASSES_ROOT, "KestruneATL.KSCapi\\CLSID"), ERROR_SUCCESS);
    clsid = {};
    EXPECT_EQ(CLSIDFromProgID("KestruneATL.KSCapi", &clsid), S_OK);
    EXPECT_TRUE(clsid == CLSID_KSCapi);
    EXPECT_EQ(CLSIDFromProgID("No.Such.Class", &clsid), CO_E_CLASSSTRING);
    // The registered module does not exist.
    void* p = nullptr;
    EXPECT_EQ(CoCreateInstance(CLSID_KSCapi, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
              CO_E_DLLNOTFOUND);
    ASSERT_EQ(unregisterServer(), S_OK);
    EXPECT_EQ(CLSIDFromProgID("KestruneATL.KSCapi", &clsid), CO_E_CLASSSTRING);
    EXPECT_EQ(CoCreateInstance(CLSID_KSCapi, nullptr, CLSCTX_INPROC_SERVER, IID_IUnknown, &p),
              REGDB_E_CLASSNOTREG);
    RegKeyHolder key;
    EXPECT_EQ(RegOpenKeyExA(HKEY_CLASSES_ROOT, "CLSID", 0, KEY_READ, key.out()), ERROR_SUCCESS);
}

TEST(ComRuntime, LoadsAndUnloadsTheModule) {
    ASSERT_EQ(registerServer(std::string(KSCAPI_BINARY_DIR) + "/libKestruneATL.so"), S_OK);
    IDispatch* object = nullptr;
    ASSERT_EQ(CoCreateInstance(CLSID_KSCapi, nullptr, CLSCTX_INPROC_SERVER, IID_IDispatch,
                               reinterpret_cast<void**>(&object)),
              S_OK);
    EXPECT_EQ(loadedServerCount(), 1u);
    CoFreeUnusedLibraries();
    EXPECT_EQ(loadedServerCount(), 1u);  // the object is alive
    object->Release();
    CoFreeUnusedLibraries();
    EXPECT_EQ(loadedServerCount(), 0u);
    unregisterServer();
}
