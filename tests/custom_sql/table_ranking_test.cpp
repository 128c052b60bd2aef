// Ranking tables for a question and fitting schemas into a prompt's budget, on Chinook alone
// and on Chinook hidden among 1,000 generated tables of other domains.
#include "veltaai/querygraph/table_ranking.h"
#include "veltaai/querygraph/schema_budget.h"

#include "tests/custom_sql/large_schema.h"

#include <gtest/gtest.h>

#include <unistd.h>
#include <algorithm>
#include <thread>

namespace veltaai::querygraph {
namespace {

namespace fs = std::filesystem;
using Words = std::vector<std::string>;

TEST(IdentifierWords, SplitsEveryNamingStyle) {
    EXPECT_EQ(identifier_words("InvoiceLine_2024"), (Words{"invoice", "line", "2024"}));
    EXPECT_EQ(identifier_words("HTTPServer"), (Words{"http", "server"}));
    EXPECT_EQ(identifier_words("hr_payroll-run v2"), (Words{"hr", "payroll", "run", "v", "2"}));
    EXPECT_EQ(identifier_words("playlisttrack"), (Words{"playlisttrack"}));
    EXPECT_EQ(identifier_words("MediaTypeId"), (Words{"media", "type", "id"}));
    EXPECT_EQ(identifier_words("Größe_Kunde"), (Words{"größe", "kunde"}))
        << "non-ASCII letters stay inside words";
    EXPECT_EQ(identifier_words("__"), Words{});
}

class LargeChinook : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        path_ = new fs::path(fs::temp_directory_path() /
                             ("veltaai-ranking-" + std::to_string(getpid()) + ".sqlite"));
        testing::build_large_chinook(*path_, 1000);
        const auto db = sql::connect_sqlite(path_->string(), {true, false});
        tables_ = new std::vector<sql::TableInfo>(db->describe_tables());
    }
    static void TearDownTestSuite() {
        fs::remove(*path_);
        delete path_;
        delete tables_;
    }

    // The tables a picker would be shown: the best-ranked ones and the tables they join.
    static std::vector<std::string> shown(const TableRanking& ranking, const std::vector<TableEntry>& entries,
                                          const std::string& question, std::size_t best) {
        std::vector<std::string> out = ranking.rank(question, best);
        const std::size_t ranked = out.size();
        for (std::size_t i = 0; i < ranked; ++i) {
            const auto entry = std::find_if(entries.begin(), entries.end(),
                                            [&](const TableEntry& e) { return e.name == out[i]; });
            for (const std::string& neighbour : entry->neighbours) {
                if (std::find(out.begin(), out.end(), neighbour) == out.end()) out.push_back(neighbour);
            }
        }
        return out;
    }

    static fs::path* path_;
    static std::vector<sql::TableInfo>* tables_;
};
fs::path* LargeChinook::path_ = nullptr;
std::vector<sql::TableInfo>* LargeChinook::tables_ = nullptr;

TEST_F(LargeChinook, EntriesCarryColumnsAndForeignKeysBothWays) {
    ASSERT_EQ(tables_->size(), 1011u);
    const std::vector<TableEntry> entries = table_entries(*tables_);
    const auto find = [&](const std::string& name) {
        return *std::find_if(entries.begin(), entries.end(),
                             [&](const TableEntry& e) { return e.name == name; });
    };
    EXPECT_EQ(find("Album").columns, (Words{"AlbumId", "Title", "ArtistId"}));
    EXPECT_EQ(find("Album").neighbours, (Words{"Artist", "Track"}));
    EXPECT_EQ(find("Employee").neighbours, Words{"Customer"}) << "ReportsTo joins the table only to itself";
    Words joined = find("PlaylistTrack").neighbours;
    std::sort(joined.begin(), joined.end());
    EXPECT_EQ(joined, (Words{"Playlist", "Track"}));
}

TEST_F(LargeChinook, EveryNeededTableIsAmongTheBestRankedAndTheirJoins) {
    const std::vector<TableEntry> entries = table_entries(*tables_);
    const TableRanking ranking(entries);
    EXPECT_EQ(ranking.size(), 1011u);
    for (const testing::NeededTables& case_ : testing::chinook_questions()) {
        const std::vector<std::string> picked = shown(ranking, entries, case_.question, 20);
        EXPECT_LE(picked.size(), 80u) << case_.question;
        for (const std::string& needed : case_.tables) {
            EXPECT_NE(std::find(picked.begin(), picked.end(), needed), picked.end())
                << needed << " not shown for: " << case_.question;
        }
    }
    Words best = ranking.rank("Which five artists have the most tracks?", 2);
    std::sort(best.begin(), best.end());
    EXPECT_EQ(best, (Words{"Artist", "Track"})) << "each word's own table before tables that mention both";
    EXPECT_TRUE(ranking.rank("what is it?").empty()) << "stop words match nothing";
    EXPECT_TRUE(ranking.rank("\"quoted\" OR NEAR(x) * -").size() <= 1011)
        << "query syntax in a question is only words";

    // One ranking serves several threads.
    std::vector<std::thread> threads;
    std::vector<std::vector<std::string>> results(4);
    for (std::size_t t = 0; t < results.size(); ++t) {
        threads.emplace_back([&, t] { results[t] = ranking.rank("invoice totals per customer", 5); });
    }
    for (auto& thread : threads) thread.join();
    for (const auto& result : results) EXPECT_EQ(result, results[0]);
    EXPECT_EQ(results[0].size(), 5u);
}

TEST(FitSchemas, ShowsTheRichestFormThatFitsAndNeverARicherOneAfterAPoorer) {
    const std::vector<TableForms> tables = {
        {"a", std::string(400, 'A'), std::string(200, 'a'), "a(x, y)"},
        {"b", std::string(400, 'B'), std::string(200, 'b'), "b(x)"},
        {"c", std::string(40, 'C'), std::string(20, 'c'), "c()"},
        {"d", std::string(40, 'D'), std::string(20, 'd'), "d()"},
    };
    const FittedSchemas whole = fit_schemas(tables, 1000);
    EXPECT_TRUE(whole.complete);
    EXPECT_EQ(whole.names, (Words{"a", "b", "c", "d"}));
    EXPECT_EQ(whole.text,
              tables[0].full + "\n\n" + tables[1].full + "\n\n" + tables[2].full + "\n\n" + tables[3].full);

    // 200 tokens = 800 bytes: a in full (400), b no longer in full but without rows (202), and
    // c and d, small as they are, not richer than b.
    const FittedSchemas tight = fit_schemas(tables, 200);
    EXPECT_FALSE(tight.complete);
    EXPECT_EQ(tight.text, tables[0].full + "\n\n" + tables[1].without_rows + "\n\n" + tables[2].without_rows +
                              "\n\n" + tables[3].without_rows);
    EXPECT_LE(estimated_tokens(tight.text), 200u);

    const FittedSchemas names = fit_schemas(tables, 3);
    EXPECT_EQ(names.text, "a(x, y)\n\nb") << "12 bytes: a's column list, b's name, and c no longer fits";
    EXPECT_EQ(names.names, (Words{"a", "b"}));
    EXPECT_EQ(fit_schemas(tables, 0).names, Words{});

    EXPECT_EQ(estimated_tokens(""), 0u);
    EXPECT_EQ(estimated_tokens("abcd"), 1u);
    EXPECT_EQ(estimated_tokens("abcde"), 2u);
}

}  // namespace
}  // namespace veltaai::querygraph
