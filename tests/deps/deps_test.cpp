// The third-party libraries link and behave as the store and the protocols need.
#include <cJSON.h>
#include <gtest/gtest.h>
#include <sqlite3.h>

#include <memory>
#include <string>

TEST(Deps, SqliteIsSerializedAndRecentEnough) {
    EXPECT_GE(sqlite3_libversion_number(), 3024000);
    EXPECT_EQ(sqlite3_threadsafe(), 1);

    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(":memory:", &db), SQLITE_OK);
    // Features the store relies on: upsert and table-valued pragma functions.
    const char* sql =
        "CREATE TABLE t(k TEXT PRIMARY KEY, v INTEGER);"
        "INSERT INTO t VALUES('a',1) ON CONFLICT(k) DO UPDATE SET v=v+1;"
        "INSERT INTO t VALUES('a',1) ON CONFLICT(k) DO UPDATE SET v=v+1;";
    EXPECT_EQ(sqlite3_exec(db, sql, nullptr, nullptr, nullptr), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db,
                  "SELECT (SELECT v FROM t WHERE k='a'),"
                  " (SELECT COUNT(*) FROM pragma_table_info('t'))", -1, &st, nullptr),
              SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_EQ(sqlite3_column_int(st, 0), 2);
    EXPECT_EQ(sqlite3_column_int(st, 1), 2);
    sqlite3_finalize(st);
    sqlite3_close(db);
}

TEST(Deps, CjsonParsesAndPrintsCompactly) {
    cJSON* root = cJSON_Parse("{ \"cmd\" : \"ping\", \"n\" : [1, 2.5, true] }");
    ASSERT_NE(root, nullptr);
    EXPECT_STREQ(cJSON_GetObjectItemCaseSensitive(root, "cmd")->valuestring, "ping");
    std::unique_ptr<char, decltype(&cJSON_free)> text(cJSON_PrintUnformatted(root), cJSON_free);
    EXPECT_EQ(std::string(text.get()), "{\"cmd\":\"ping\",\"n\":[1,2.5,true]}");
    cJSON_Delete(root);
}
