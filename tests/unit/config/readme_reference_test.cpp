#include <gtest/gtest.h>

#include <sstream>

#include "config_fields.h"
#include "test_support.h"

using nlohmann::json;
using namespace configtest;

namespace {

std::string unquoted(const std::string& cell) { return cell.size() >= 2 ? cell.substr(1, cell.size() - 2) : cell; }

// The cells of the rows of the README's configuration reference whose first
// cell is a name in backticks, keyed by that name.
std::map<std::string, std::vector<std::string>> reference_rows() {
    const std::string readme = testsupport::read_file(testsupport::source_path("README.md"));
    const auto begin = readme.find("## Configuration reference");
    std::stringstream section(readme.substr(begin, readme.find("\n## ", begin) - begin));
    std::map<std::string, std::vector<std::string>> rows;
    for (std::string line; std::getline(section, line);) {
        if (line.rfind("| `", 0) != 0) continue;
        std::vector<std::string> cells;
        std::stringstream in(line.substr(1));
        for (std::string cell; std::getline(in >> std::ws, cell, '|');) {
            cells.push_back(cell.substr(0, cell.find_last_not_of(' ') + 1));
        }
        EXPECT_TRUE(rows.emplace(unquoted(cells[0]), cells).second) << "twice: " << cells[0];
    }
    return rows;
}

bool has_type(const json& value, const std::string& type) {
    if (type == "string") return value.is_string();
    if (type == "bool") return value.is_boolean();
    if (type == "int" || type == "long") return value.is_number_integer();
    return (type == "list of int" || type == "list of uint32") && value.is_array();
}

}  // namespace

// Rows of a keyed setting: key, type, default, hot, meaning; of a keyless
// one: field, type, default, meaning. The float companions are described
// with their texts and start at 0. config/config.json holds every key at its
// default, laid out as a save writes it.
TEST(ConfigReference, ReadmeAndDefaultFileMatchTheBuiltInDefaults) {
    const Fields defaults = fields(AppConfig{});
    const auto rows = reference_rows();
    Fields keyed;
    std::set<std::string> marked_hot;
    for (const auto& [name, value] : defaults) {
        SCOPED_TRACE(name);
        const auto row = rows.find(name);
        if (name.size() > 2 && name.compare(name.size() - 2, 2, "_f") == 0) {
            EXPECT_EQ(row, rows.end());
            EXPECT_EQ(value, 0.0);
            continue;
        }
        ASSERT_NE(row, rows.end()) << "missing from the README";
        const std::vector<std::string>& cells = row->second;
        ASSERT_EQ(cells.size(), has_key(name) ? 5u : 4u);
        EXPECT_EQ(json::parse(unquoted(cells[2])), value);
        EXPECT_TRUE(has_type(value, cells[1])) << cells[1];
        if (cells[3] == "yes") marked_hot.insert(name);
        if (has_key(name)) keyed[name] = value;
    }
    EXPECT_EQ(rows.size(), defaults.size() - 10) << "rows for no setting";
    EXPECT_EQ(marked_hot, kHotPaths);

    const std::string text = testsupport::read_file(testsupport::source_path("config/config.json"));
    EXPECT_EQ(flatten(json::parse(text)), keyed);
    EXPECT_EQ(text, json::parse(text).dump(4, ' ', false));
}
