// Dialog units mapped to pixels, and the file chooser's filter text split into entries.
#include <gtest/gtest.h>

#include "test_support.h"
#include "ui/chooser_filter.h"
#include "ui/dialog_units_internal.h"

using testing_support::runCommand;

TEST(DialogUnits, BaseUnitsFromTheFont) {
    struct Case {
        int alphabetWidth, height;
        ui::DialogBaseUnits expected;
    } cases[] = {
        {416, 16, {8, 16}},  // 16 pixels per two letters: 8
        {390, 15, {8, 15}},  // 15 per two letters rounds up
        {364, 13, {7, 13}},  // 14: 7
        {377, 14, {7, 14}},  // 377 / 26 = 14 (truncated), then halved up: 7
        {0, 0, {1, 1}},      // never below a pixel
    };
    for (const Case& c : cases) {
        ui::DialogBaseUnits units = ui::dialogBaseUnits(c.alphabetWidth, c.height);
        EXPECT_EQ(units.x, c.expected.x) << c.alphabetWidth;
        EXPECT_EQ(units.y, c.expected.y) << c.height;
    }
}

TEST(DialogUnits, RectanglesInPixels) {
    struct Case {
        ui::DialogRect rect;
        ui::DialogBaseUnits units;
        ui::DialogRect expected;
    } cases[] = {
        // The PFX file dialog's first label at 8 x 16 base units.
        {{7, 10, 90, 10}, {8, 16}, {14, 20, 180, 20}},
        // Quotients round to the nearest pixel, halves away from zero.
        {{7, 10, 90, 10}, {7, 15}, {12, 19, 158, 19}},
        {{1, 1, 2, 3}, {6, 12}, {2, 2, 3, 5}},
        {{-7, -10, 0, 0}, {7, 15}, {-12, -19, 0, 0}},
    };
    for (const Case& c : cases) {
        ui::DialogRect at = ui::mapDialogRect(c.rect, c.units);
        EXPECT_EQ(at.x, c.expected.x);
        EXPECT_EQ(at.y, c.expected.y);
        EXPECT_EQ(at.width, c.expected.width);
        EXPECT_EQ(at.height, c.expected.height);
    }
}

TEST(ChooserFilter, EntriesOfTheFilterText) {
    using Entries = std::vector<std::pair<std::string, std::vector<std::string>>>;
    struct Case {
        std::string filter;
        Entries expected;
    } cases[] = {
        {"PFX(P12) \xE6\x86\x91\xE8\xAD\x89\xE6\xAA\x94|*.pfx; *.p12|All Files (*.*)|*.*||",
         {{"PFX(P12) \xE6\x86\x91\xE8\xAD\x89\xE6\xAA\x94", {"*.pfx", "*.p12"}},
          {"All Files (*.*)", {"*.*"}}}},
        {"All Files (*.*)|*.*||", {{"All Files (*.*)", {"*.*"}}}},
        {"A|*.a", {{"A", {"*.a"}}}},  // no closing bars
        {"A| ;;*.a ; |B|*.b||", {{"A", {"*.a"}}, {"B", {"*.b"}}}},
        {"A||B|*.b||", {}},  // no patterns: the list ends
        {"|*.a||", {}},      // no description
        {"", {}},
    };
    for (const Case& c : cases) {
        Entries got;
        for (const ui::ChooserFilter& f : ui::parseChooserFilter(c.filter))
            got.emplace_back(f.name, f.patterns);
        EXPECT_EQ(got, c.expected) << c.filter;
    }
}

// The folded globs match what the platform's patterns match, as Python's fnmatchcase
// (a case-sensitive glob of its own) reads them.
TEST(ChooserFilter, FoldedGlobsMatchAnyCase) {
    struct Case {
        std::string pattern, glob;
        std::string names;  // blank-separated
        std::string matched;
    } cases[] = {
        {"*.pfx", "*.[pP][fF][xX]", "a.pfx B.PFX c.Pfx d.pfx.bak e.p12", "a.pfx B.PFX c.Pfx"},
        {"*.p12", "*.[pP]12", "a.P12 b.p12 c.p13", "a.P12 b.p12"},
        {"*.*", "*", "plain with.dot", "plain with.dot"},
        {"[1].cer", "[[]1].[cC][eE][rR]", "[1].CER 1.cer", "[1].CER"},
    };
    for (const Case& c : cases) {
        std::string glob = ui::caseFoldedGlob(c.pattern);
        EXPECT_EQ(glob, c.glob);
        std::string matched = runCommand(
            "python3 -c 'import fnmatch,sys; print(\" \".join(n for n in sys.argv[2:] if "
            "fnmatch.fnmatchcase(n, sys.argv[1])))' '" +
            glob + "' " + c.names);
        EXPECT_EQ(matched, c.matched + "\n") << c.pattern;
    }
}
