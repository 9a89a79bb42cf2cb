#include <gtest/gtest.h>

#include <limits>
#include <set>
#include <sstream>

#include "config/app_config.h"
#include "config_fields.h"
#include "test_support.h"

using nlohmann::json;
using configtest::flatten;
using configtest::hot_paths;
using configtest::keyed_fields;
using configtest::keyless_fields;

namespace {

struct ReferenceRow {
    std::string type;
    json default_value;
    bool hot = false;
};

std::vector<std::string> cells_of(const std::string& line)
{
    std::vector<std::string> cells;
    std::stringstream in(line.substr(1));
    std::string cell;
    while (std::getline(in, cell, '|')) {
        const auto first = cell.find_first_not_of(' ');
        const auto last = cell.find_last_not_of(' ');
        cells.push_back(first == std::string::npos ? "" : cell.substr(first, last - first + 1));
    }
    return cells;
}

std::string unquote(const std::string& cell)
{
    return cell.size() >= 2 && cell.front() == '`' && cell.back() == '`' ? cell.substr(1, cell.size() - 2) : cell;
}

// The rows of the README's configuration tables whose first cell is a name
// in backticks, keyed by that name: rows with five cells (key, type,
// default, hot, meaning) or four (field, type, default, meaning).
std::map<std::string, ReferenceRow> reference_rows(size_t cells_per_row)
{
    std::stringstream readme(testsupport::read_file(testsupport::source_path("README.md")));
    std::map<std::string, ReferenceRow> rows;
    bool in_reference = false;
    for (std::string line; std::getline(readme, line);) {
        if (line.rfind("## ", 0) == 0) in_reference = line == "## Configuration reference";
        if (!in_reference || line.rfind("| `", 0) != 0) continue;
        const auto cells = cells_of(line);
        if (cells.size() != cells_per_row) continue;
        ReferenceRow row;
        row.type = cells[1];
        row.default_value = json::parse(unquote(cells[2]));
        row.hot = cells_per_row == 5 && cells[3] == "yes";
        EXPECT_TRUE(rows.emplace(unquote(cells[0]), row).second) << "twice: " << cells[0];
    }
    return rows;
}

bool has_type(const json& value, const std::string& type)
{
    const auto in_range = [](const json& v, int64_t lo, int64_t hi) {
        return v.is_number_integer() && v.get<int64_t>() >= lo && v.get<int64_t>() <= hi;
    };
    const int64_t int_min = std::numeric_limits<int32_t>::min();
    const int64_t int_max = std::numeric_limits<int32_t>::max();
    if (type == "string") return value.is_string();
    if (type == "bool") return value.is_boolean();
    if (type == "int") return in_range(value, int_min, int_max);
    if (type == "long") return value.is_number_integer();
    if (type == "list of int" || type == "list of uint32") {
        if (!value.is_array()) return false;
        for (const json& e : value) {
            if (type == "list of int" ? !in_range(e, int_min, int_max) : !in_range(e, 0, 4294967295LL)) return false;
        }
        return true;
    }
    return false;
}

json default_file()
{
    return json::parse(testsupport::read_file(testsupport::source_path("config/config.json")));
}

}  // namespace

TEST(ConfigReference, ReadmeListsEveryKeyWithItsDefaultAndType)
{
    const auto rows = reference_rows(5);
    const auto defaults = keyed_fields(AppConfig{});
    ASSERT_EQ(rows.size(), defaults.size());
    for (const auto& [path, value] : defaults) {
        const auto it = rows.find(path);
        ASSERT_NE(it, rows.end()) << path << " is missing from the README";
        EXPECT_EQ(it->second.default_value, value) << path;
        EXPECT_TRUE(has_type(value, it->second.type)) << path << " is not a " << it->second.type;
    }
}

TEST(ConfigReference, ReadmeMarksExactlyTheHotSettings)
{
    std::set<std::string> marked;
    for (const auto& [path, row] : reference_rows(5)) {
        if (row.hot) marked.insert(path);
    }
    EXPECT_EQ(marked, std::set<std::string>(hot_paths().begin(), hot_paths().end()));
}

TEST(ConfigReference, ReadmeListsTheKeylessFields)
{
    const auto rows = reference_rows(4);
    const auto keyless = keyless_fields(AppConfig{});
    ASSERT_EQ(rows.size(), 2u);
    for (const auto& [name, row] : rows) {
        ASSERT_EQ(keyless.count(name), 1u) << name;
        EXPECT_EQ(row.default_value, keyless.at(name)) << name;
    }
}

TEST(ConfigReference, DefaultFileHoldsEveryKeyAtItsDefault)
{
    const auto in_file = flatten(default_file());
    EXPECT_EQ(in_file, keyed_fields(AppConfig{}));
}

TEST(ConfigReference, LoadingTheDefaultFileChangesNothing)
{
    AppConfig c;
    ASSERT_TRUE(c.load(testsupport::source_path("config/config.json")));
    EXPECT_EQ(keyed_fields(c), keyed_fields(AppConfig{}));
    EXPECT_EQ(keyless_fields(c), keyless_fields(AppConfig{}));
}

TEST(ConfigReference, DefaultFileIsLaidOutLikeASave)
{
    const std::string text = testsupport::read_file(testsupport::source_path("config/config.json"));
    EXPECT_EQ(text, default_file().dump(4, ' ', false));
}
