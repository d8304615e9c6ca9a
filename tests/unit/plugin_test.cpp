// Tests of the plugin registry: built-in and file plugins loaded with use counts, the
// validity rule, failing initialisations, the main entry, the search path (never the working
// directory unless development loading is asked for) and contexts served by a plugin file.
#include "tarvik_test.hpp"

#include <cstdlib>
#include <dlfcn.h>
#include <string>
#include <thread>
#include <vector>
#include <unistd.h>

namespace {

class PluginTest : public TarvikTest {};

const std::string FIXTURE = UNIT_PLUGIN_PATH;

std::string directory_of(const std::string &path) { return path.substr(0, path.rfind('/')); }
std::string base_of(const std::string &path) { return path.substr(path.rfind('/') + 1); }

// The fixture's own counters, read through a second reference to the loaded file.
int fixture_counter(const char *name)
{
    void *library = dlopen(FIXTURE.c_str(), RTLD_NOW | RTLD_NOLOAD);
    if (library == nullptr) {
        return -1;
    }
    auto counter = reinterpret_cast<int (*)()>(dlsym(library, name));
    int value = counter != nullptr ? counter() : -1;
    dlclose(library);
    return value;
}

bool registered(int handle)
{
    tarvik_plugin_info_t *info = tarvik_get_plugin_info();
    tarvik_lock_tag(&info->m_lock, "registered", __LINE__);
    bool found = false;
    for (tarvik_plugin_t *plugin = info->m_head; plugin != nullptr; plugin = plugin->m_next) {
        found = found || plugin->m_handle == handle;
    }
    tarvik_unlock_tag(&info->m_lock, "registered", __LINE__);
    return found;
}

TEST_F(PluginTest, GlobalHandlesAreTheLowestFreeNumbers)
{
    int words[3] = {};
    int first = tarvik_ginstance_new_ex(&words[0], "application/x-a");
    int second = tarvik_ginstance_new_ex(&words[1], "application/x-b");
    int third = tarvik_ginstance_new_ex(&words[2], "application/x-c");
    ASSERT_GE(first, 0);
    EXPECT_EQ(second, first + 1);
    EXPECT_EQ(third, first + 2);
    EXPECT_EQ(tarvik_ginstance_delete(second), -1);
    EXPECT_EQ(tarvik_ginstance_search(second, nullptr), nullptr);
    EXPECT_EQ(tarvik_ginstance_new_ex(&words[1], "application/x-again"), second);
    const char *mime = nullptr;
    EXPECT_EQ(tarvik_ginstance_search(second, &mime), &words[1]);
    EXPECT_STREQ(mime, "application/x-again");
    tarvik_ginstance_delete(first);
    tarvik_ginstance_delete(second);
    tarvik_ginstance_delete(third);
}

TEST_F(PluginTest, MimeHintListsArePatternsWithoutCase)
{
    EXPECT_EQ(tarvik_compare_mime_type_hint(nullptr, "anything/at-all"), 0);
    const char *base = "application/qvl_base;application/qvl_stream*;application/qvl_fb";
    EXPECT_EQ(tarvik_compare_mime_type_hint(base, "application/qvl_stream_tftp"), 0);
    EXPECT_EQ(tarvik_compare_mime_type_hint(base, "APPLICATION/QVL_FB"), 0);
    EXPECT_EQ(tarvik_compare_mime_type_hint(base, "application/qvl_fbx"), -1);
    EXPECT_EQ(tarvik_compare_mime_type_hint(base, "application/qvl_bas"), -1);
    EXPECT_EQ(tarvik_compare_mime_type_hint("a/x| \t b/y;c/?", "b/y"), 0);
    EXPECT_EQ(tarvik_compare_mime_type_hint("a/x| \t b/y;c/?", "c/z"), 0);
    EXPECT_EQ(tarvik_compare_mime_type_hint("a/x|b/y ;c/z", "b/y"), -1) << "only leading blanks go";
    EXPECT_EQ(tarvik_compare_mime_type_hint("a/x|b/y", "b/y "), -1);
    EXPECT_EQ(tarvik_compare_mime_type_hint("", "a/x"), -1);
    EXPECT_EQ(tarvik_compare_mime_type_hint("", ""), 0);
    EXPECT_EQ(tarvik_compare_mime_type("a", nullptr), tarvik_compare_mime_type("a", ""));
    EXPECT_EQ(tarvik_compare_mime_type(nullptr, ""), 0);
}

TEST_F(PluginTest, BuiltInPluginLoadsOnceWithAUseCount)
{
    int first = tarvik_load_plugin(nullptr, nullptr, nullptr);
    ASSERT_GE(first, 0);
    int second = tarvik_load_plugin("", nullptr, nullptr);
    EXPECT_EQ(second, first);
    tarvik_plugin_t *plugin = tarvik_plugin_search(first);
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(memcmp(plugin->m_magic, "WULP", 4), 0);
    EXPECT_EQ(plugin->m_used_count, 2u);
    EXPECT_EQ(plugin->m_state & 0x10003u, 0x10003u); // initialised, built in, valid
    EXPECT_EQ(plugin->m_shared_object, nullptr);
    EXPECT_STREQ(tarvik_plugin_get_mime_type_hint(first),
                 "application/qvl_base;application/qvl_stream*;application/qvl_fb;"
                 "application/qvl_linuxfb;application/qvl_windows_dib;application/qvl_multicall*");
    const auto *table =
        static_cast<const tarvik_ctx0_v0_interface_t *>(tarvik_plugin_get_interface(first));
    ASSERT_NE(table, nullptr);
    EXPECT_EQ(table->m_type, 1u);
    EXPECT_EQ(table->m_version, 1u);
    EXPECT_EQ(table->m_size, sizeof(tarvik_ctx0_v1_interface_t));
    EXPECT_EQ(tarvik_plugin_execute_main(first, 0, nullptr), 1); // the base plugin's main
    EXPECT_EQ(tarvik_unload_plugin(second), -1);
    EXPECT_EQ(tarvik_plugin_search(first), plugin) << "one use is left";
    EXPECT_EQ(tarvik_unload_plugin(first), -1);
    EXPECT_EQ(tarvik_plugin_search(first), nullptr);
    EXPECT_EQ(tarvik_unload_plugin(first), -1) << "an unknown handle is refused quietly";
    EXPECT_EQ(tarvik_plugin_get_interface(-1), nullptr);
    EXPECT_EQ(tarvik_plugin_get_main_entry(12345), nullptr);
    EXPECT_EQ(tarvik_plugin_execute_main(-1, 0, nullptr), 1);
}

TEST_F(PluginTest, SameFileTwiceIsOneHandleThatNeedsTwoUnloads)
{
    int first = tarvik_load_plugin(FIXTURE.c_str(), nullptr, nullptr);
    ASSERT_GE(first, 0) << tarvik_plugin_get_load_error();
    int initialized = fixture_counter("unit_initialized");
    // The same file by another spelling of its path is still the same shared object.
    std::string other = directory_of(FIXTURE) + "/./" + base_of(FIXTURE);
    int second = tarvik_load_plugin(other.c_str(), nullptr, nullptr);
    EXPECT_EQ(second, first);
    EXPECT_EQ(fixture_counter("unit_initialized"), initialized) << "initialised once";
    EXPECT_TRUE(registered(first));
    tarvik_main_entry_t entry = tarvik_plugin_get_main_entry(first);
    ASSERT_NE(entry, nullptr);
    char name[] = "unit";
    char *argv[] = {name, nullptr};
    EXPECT_EQ(tarvik_plugin_execute_main(first, 1, argv), 41);
    int uninitialized = fixture_counter("unit_uninitialized");
    tarvik_unload_plugin(first);
    EXPECT_TRUE(registered(first));
    EXPECT_EQ(fixture_counter("unit_uninitialized"), uninitialized);
    tarvik_unload_plugin(second);
    EXPECT_FALSE(registered(first));
    EXPECT_EQ(tarvik_plugin_search(first), nullptr);
    // Loaded again, it is initialised afresh (its counters show the file stayed mapped
    // only while a use was held: a fresh load starts them from zero again).
    int again = tarvik_load_plugin(FIXTURE.c_str(), nullptr, nullptr);
    ASSERT_GE(again, 0);
    EXPECT_GE(fixture_counter("unit_initialized"), 1);
    tarvik_unload_plugin(again);
}

TEST_F(PluginTest, ConcurrentLoadersShareOneInitialisation)
{
    for (int round = 0; round < 20; ++round) {
        // Each round maps the file afresh (the last unload closed it): its counter restarts.
        std::vector<int> handles(6, -2);
        std::vector<std::thread> threads;
        for (int &handle : handles) {
            threads.emplace_back(
                [&handle] { handle = tarvik_load_plugin(FIXTURE.c_str(), nullptr, nullptr); });
        }
        for (std::thread &thread : threads) {
            thread.join();
        }
        for (int handle : handles) {
            EXPECT_EQ(handle, handles[0]);
        }
        ASSERT_GE(handles[0], 0);
        tarvik_plugin_t *plugin = tarvik_plugin_search(handles[0]);
        ASSERT_NE(plugin, nullptr);
        EXPECT_EQ(plugin->m_used_count, handles.size());
        EXPECT_EQ(fixture_counter("unit_initialized"), 1) << "once per load of the file";
        for (int handle : handles) {
            tarvik_unload_plugin(handle);
        }
        EXPECT_FALSE(registered(handles[0]));
    }
}

TEST_F(PluginTest, ValidityFollowsTypeVersionAndSize)
{
    int v0 = tarvik_load_plugin_ex(FIXTURE.c_str(), nullptr, "unit_v0_initialize", nullptr);
    ASSERT_GE(v0, 0) << tarvik_plugin_get_load_error();
    tarvik_plugin_t *plugin = tarvik_plugin_search(v0);
    ASSERT_NE(plugin, nullptr);
    EXPECT_NE(plugin->m_state & 0x10000u, 0u) << "a version-0 table of 80 bytes is valid";
    EXPECT_EQ(tarvik_plugin_get_main_entry(v0), nullptr) << "version 0 has no main entry";
    EXPECT_EQ(tarvik_plugin_execute_main(v0, 0, nullptr), 1);
    tarvik_unload_plugin(v0);

    int wrong =
        tarvik_load_plugin_ex(FIXTURE.c_str(), nullptr, "unit_wrong_type_initialize", nullptr);
    ASSERT_GE(wrong, 0);
    plugin = tarvik_plugin_search(wrong);
    ASSERT_NE(plugin, nullptr);
    EXPECT_EQ(plugin->m_state & 0x10000u, 0u) << "type 2 is no ctx0 table";
    EXPECT_NE(plugin->m_state & 0x1u, 0u);
    EXPECT_EQ(tarvik_plugin_get_main_entry(wrong), nullptr);
    tarvik_unload_plugin(wrong);
}

TEST_F(PluginTest, FailedInitialisationUnloadsAtOnce)
{
    tarvik_plugin_info_t *info = tarvik_get_plugin_info();
    tarvik_plugin_t *head = info->m_head;
    int handle =
        tarvik_load_plugin_ex(FIXTURE.c_str(), nullptr, "unit_failing_initialize", nullptr);
    EXPECT_EQ(handle, -1);
    EXPECT_NE(std::string(tarvik_plugin_get_load_error()).find("initialise"), std::string::npos);
    EXPECT_EQ(info->m_head, head) << "nothing left in the registry";
    EXPECT_EQ(dlopen(FIXTURE.c_str(), RTLD_NOW | RTLD_NOLOAD), nullptr) << "file unmapped";
    // Missing functions and missing files are refused the same way.
    EXPECT_EQ(tarvik_load_plugin_ex(FIXTURE.c_str(), nullptr, "no_such_function", nullptr), -1);
    EXPECT_EQ(tarvik_load_plugin("/nonexistent/plugin.so", nullptr, nullptr), -1);
    EXPECT_NE(std::string(tarvik_plugin_get_load_error()), "");
    EXPECT_EQ(info->m_head, head);
}

TEST_F(PluginTest, WorkingDirectoryIsSearchedOnlyForDevelopment)
{
    char saved[4096];
    ASSERT_NE(getcwd(saved, sizeof(saved)), nullptr);
    ASSERT_EQ(chdir(directory_of(FIXTURE).c_str()), 0);
    const std::string name = base_of(FIXTURE);
    unsetenv(TARVIK_PLUGIN_DEVELOPMENT_VARIABLE);
    EXPECT_EQ(tarvik_load_plugin(name.c_str(), nullptr, nullptr), -1)
        << "a file in the working directory is no plugin of the system";
    setenv(TARVIK_PLUGIN_DEVELOPMENT_VARIABLE, "0", 1);
    EXPECT_EQ(tarvik_load_plugin(name.c_str(), nullptr, nullptr), -1);
    setenv(TARVIK_PLUGIN_DEVELOPMENT_VARIABLE, "1", 1);
    int handle = tarvik_load_plugin(name.c_str(), nullptr, nullptr);
    EXPECT_GE(handle, 0) << tarvik_plugin_get_load_error();
    tarvik_unload_plugin(handle);
    unsetenv(TARVIK_PLUGIN_DEVELOPMENT_VARIABLE);
    ASSERT_EQ(chdir(saved), 0);
    // An explicit search path is the caller's choice.
    handle = tarvik_load_plugin_ex(name.c_str(), ("/nonexistent:" + directory_of(FIXTURE)).c_str(),
                                   nullptr, nullptr);
    EXPECT_GE(handle, 0) << tarvik_plugin_get_load_error();
    tarvik_unload_plugin(handle);
}

TEST_F(PluginTest, ContextsGoToTheMatchingPluginFile)
{
    int plugin = tarvik_load_plugin(FIXTURE.c_str(), nullptr, nullptr);
    ASSERT_GE(plugin, 0);
    int ctx = tarvik_new_ctx();
    ASSERT_GE(ctx, 0);
    EXPECT_EQ(tarvik_open_ctx(ctx, "application/x-unit-stream"), 0);
    EXPECT_EQ(tarvik_get_valid_ctx(ctx)->m_plugin, tarvik_plugin_search(plugin));
    EXPECT_STREQ(tarvik_get_ctx_mime_type_hint(ctx), "application/x-unit*");
    EXPECT_EQ(tarvik_compare_ctx_mime_type_hint(ctx, "application/x-unit-other"), 0);
    char buffer[64] = {};
    EXPECT_EQ(tarvik_ctx_read(ctx, buffer, sizeof(buffer)), 16);
    EXPECT_STREQ(buffer, "unit plugin data");
    // Slots the plugin left null answer "not supported".
    EXPECT_EQ(tarvik_ctx_write(ctx, "x", 1), -1);
    EXPECT_EQ(tarvik_ctx_get_error(ctx), TARVIK_CTX_ERROR_NOT_SUPPORTED);
    char name[] = "unit";
    char *argv[] = {name, name, nullptr};
    EXPECT_EQ(tarvik_ctx_execute_main(ctx, 2, argv), 42);
    // An open context holds a use: the plugin outlives its loader's unload.
    tarvik_unload_plugin(plugin);
    EXPECT_TRUE(registered(plugin));
    EXPECT_EQ(tarvik_ctx_read(ctx, buffer, 4), 4);
    EXPECT_EQ(tarvik_close_ctx(ctx), 0);
    EXPECT_FALSE(registered(plugin));
    // Without the file the type is served by nobody.
    EXPECT_EQ(tarvik_open_ctx(ctx, "application/x-unit-stream"), -1);
    EXPECT_EQ(tarvik_ctx_get_error(ctx), TARVIK_CTX_ERROR_NOT_SUPPORTED);
    EXPECT_EQ(tarvik_destroy_ctx(ctx), -1);
}

} // namespace
