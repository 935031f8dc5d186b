// Paths in any script: the tool takes them as typed, creates and reads files
// and folders under those names, and names them as typed in its messages.
#include "tool.h"

TEST_F(Tool, PathsInAnyScript)
{
    const std::string input = std::string(300, 'x') + "named in any script";
    const auto path = [&](const std::string &name) { return (dir / fs::u8path(name)).u8string(); };
    // Japanese, Cyrillic, and a character outside the Basic Multilingual Plane.
    for (const std::string name : {"ゲーム", "Данные", "\U0001F3AE"}) {
        fs::create_directories(dir / fs::u8path(name));
        const std::string in = path(name + "/" + name + ".bin"), record = path(name + "/" + name + ".exs");
        WriteBytes(fs::u8path(in), FromText(input));
        ASSERT_EQ(Exec({in, record}).status, 0) << name;
        ASSERT_EQ(Exec({"-d", record, in}).status, 0) << name; // replaces the input
        EXPECT_EQ(Slurp(fs::u8path(in)), input) << name;

        EXPECT_EQ(Exec({record, path(name + "/" + name), "-l"}).status, 0) << name;
        EXPECT_EQ(Slurp(dir / fs::u8path(name + "/" + name + "/00000000.bin")), input) << name;

        // Put back from the folder, then from the file, edited.
        EXPECT_EQ(Exec({path(name + "/" + name), record, "-i"}).status, 0) << name;
        const std::string edited = input.substr(0, 299) + "X";
        WriteBytes(fs::u8path(in), FromText(edited));
        EXPECT_EQ(Exec({in, record, "-i"}).status, 0) << name;
        EXPECT_EQ(Exec({"-d", record, in}).status, 0) << name;
        EXPECT_EQ(Slurp(fs::u8path(in)), edited) << name;

        EXPECT_EQ(Exec({path(name + "/missing " + name), in}).err, "Can't open: " + path(name + "/missing " + name));
    }
}
