#pragma once
// A large database for the ranking tests and benchmarks: the Chinook tables plus generated
// distractor tables with plausible names and columns from other business domains, some of
// them sharing words with Chinook's tables ("customer_support_ticket", "track_shipment"), and
// questions about Chinook with the tables each one needs.

#include "tests/sql/test_servers.h"
#include "veltaai/sql/sqlite.h"

#include <algorithm>
#include <filesystem>
#include <random>
#include <string>
#include <vector>

namespace veltaai::testing {

struct NeededTables {
    std::string question;
    std::vector<std::string> tables;
};

inline const std::vector<NeededTables>& chinook_questions() {
    static const std::vector<NeededTables> questions = {
        {"Which five artists have the most tracks?", {"Artist", "Album", "Track"}},
        {"How many albums does each artist have?", {"Artist", "Album"}},
        {"Top genres by number of tracks", {"Genre", "Track"}},
        {"Total sales per billing country", {"Invoice"}},
        {"Which customers spent the most money on invoices?", {"Customer", "Invoice"}},
        {"Which employee supports the most customers?", {"Employee", "Customer"}},
        {"Longest tracks in the Rock genre", {"Track", "Genre"}},
        {"How many tracks are in each playlist?", {"Playlist", "PlaylistTrack"}},
        {"Which media types are most common among tracks?", {"MediaType", "Track"}},
        {"Revenue by month from invoices", {"Invoice"}},
        {"Best selling tracks by quantity sold on invoice lines", {"InvoiceLine", "Track"}},
        {"Which composer wrote the most tracks?", {"Track"}},
        {"Average unit price of tracks per genre", {"Track", "Genre"}},
        {"Customers from Brazil and their support representative", {"Customer", "Employee"}},
        {"Which artist has the most albums in the Metal genre?", {"Artist", "Album", "Genre", "Track"}},
        {"List the invoice lines of invoice 10", {"InvoiceLine", "Invoice"}},
        {"How many customers live in each city?", {"Customer"}},
        {"Which employees report to each manager?", {"Employee"}},
        {"Total milliseconds of music per album", {"Track", "Album"}},
        {"Which playlists contain tracks by the artist AC/DC?",
         {"Playlist", "PlaylistTrack", "Track", "Album", "Artist"}},
        {"Number of invoices per billing city", {"Invoice"}},
        {"Which tracks have never been sold on an invoice line?", {"Track", "InvoiceLine"}},
        {"Average invoice total per customer country", {"Invoice", "Customer"}},
        {"Employees hired after 2003", {"Employee"}},
        {"Tracks longer than 5 minutes with their media type", {"Track", "MediaType"}},
        {"Which genre earns the most from invoice lines?", {"Genre", "Track", "InvoiceLine"}},
        {"Album titles containing the word Love", {"Album"}},
        {"How many tracks does an album have on average?", {"Track", "Album"}},
        {"Customers with a company name and their email", {"Customer"}},
        {"Employees ranked by the invoice totals of their customers", {"Employee", "Customer", "Invoice"}},
        {"Which artists appear on more than one playlist?",
         {"Artist", "Album", "Track", "PlaylistTrack", "Playlist"}},
        {"Unit price and quantity of each invoice line", {"InvoiceLine"}},
        {"Playlists with the most tracks of the Jazz genre", {"Playlist", "PlaylistTrack", "Track", "Genre"}},
    };
    return questions;
}

// CREATE TABLE statements of count distractor tables, the same for the same seed.
inline std::vector<std::string> distractor_tables(int count, unsigned seed = 7) {
    static const std::vector<std::string> domains = {
        "hr",        "payroll",   "crm",    "erp",     "iot",     "fleet",    "warehouse",
        "logistics", "marketing", "sales",  "support", "billing", "finance",  "audit",
        "asset",     "project",   "lab",    "clinic",  "school",  "library",  "event",
        "media",     "content",   "social", "travel",  "hotel",   "insurance"};
    static const std::vector<std::string> entities = {
        "order",   "shipment", "sensor",   "reading",   "ticket",   "campaign", "lead",    "opportunity",
        "vendor",  "supplier", "contract", "budget",    "ledger",   "payment",  "refund",  "device",
        "vehicle", "route",    "driver",   "patient",   "visit",    "course",   "student", "booking",
        "room",    "claim",    "policy",   "timesheet", "shift",    "skill",    "review",  "comment",
        "session", "document", "approval", "forecast",  "customer", "employee", "track",   "invoice",
        "artist",  "album",    "playlist", "price",     "rating"};
    static const std::vector<std::string> suffixes = {"",      "history", "archive", "log",    "item",
                                                      "line",  "status",  "type",    "detail", "snapshot",
                                                      "queue", "summary", "2019",    "v2"};
    static const std::vector<std::string> columns = {
        "created_at", "updated_at",  "status",  "amount",   "quantity",   "note",     "owner_id", "region",
        "code",       "label",       "score",   "currency", "started_on", "ended_on", "priority", "category",
        "latitude",   "longitude",   "email",   "phone",    "address",    "city",     "country",  "total",
        "title",      "description", "version", "source",   "channel",    "weight",   "duration", "discount"};
    std::mt19937 random(seed);
    const auto pick = [&random](const std::vector<std::string>& from) {
        return from[std::uniform_int_distribution<std::size_t>(0, from.size() - 1)(random)];
    };
    std::vector<std::string> statements;
    std::vector<std::string> names;
    while (static_cast<int>(names.size()) < count) {
        const std::string suffix = pick(suffixes);
        std::string name = pick(domains) + "_" + pick(entities) + (suffix.empty() ? "" : "_" + suffix);
        if (std::find(names.begin(), names.end(), name) != names.end())
            name += "_" + std::to_string(names.size());
        std::string ddl = "CREATE TABLE " + name + " (id INTEGER PRIMARY KEY";
        std::vector<std::string> used;
        const int width = std::uniform_int_distribution<int>(3, 9)(random);
        while (static_cast<int>(used.size()) < width) {
            const std::string column = pick(columns);
            if (std::find(used.begin(), used.end(), column) != used.end()) continue;
            used.push_back(column);
            ddl += ", " + column + (column.find("_id") != std::string::npos ? " INTEGER" : " TEXT");
        }
        if (!names.empty() && random() % 3 == 0) {
            const std::string& parent = names[random() % names.size()];
            ddl += ", " + parent + "_id INTEGER REFERENCES " + parent + "(id)";
        }
        statements.push_back(ddl + ")");
        names.push_back(name);
    }
    return statements;
}

// A copy of Chinook at path with count distractor tables added.
inline void build_large_chinook(const std::filesystem::path& path, int count) {
    std::filesystem::remove(path);
    std::filesystem::copy_file(chinook_sqlite(), path);
    auto db = sql::connect_sqlite(path.string());
    db->execute("BEGIN");
    for (const std::string& ddl : distractor_tables(count)) db->execute(ddl);
    db->execute("COMMIT");
}

}  // namespace veltaai::testing
