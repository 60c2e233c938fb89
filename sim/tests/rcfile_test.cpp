// The .rc reader behind the resources of our own libraries.
#include "../src/rcfile.h"

#include <gtest/gtest.h>

TEST(RcFile, StringTables) {
    auto f = winsim::rc::parse(
        "#define IDS_HELLO 7\n"
        "// a comment \"STRINGTABLE\"\n"
        "1 ICON \"app.ico\"\n"
        "VS_VERSION_INFO VERSIONINFO\n FILEVERSION 1,0,0,0\nBEGIN\n BLOCK \"x\"\n BEGIN\n END\nEND\n"
        "STRINGTABLE DISCARDABLE\n{\n"
        "  IDS_HELLO, \"say \"\"hi\"\"\"\n"
        "  /* c */ 0x10 \"tab\\there\\x41\\101\\\\\"\n"
        "  11 \"a\" \"b\"\n"
        "}\n");
    EXPECT_EQ(f.strings.size(), 3u);
    EXPECT_EQ(f.strings[7], "say \"hi\"");
    EXPECT_EQ(f.strings[16], "tab\there\x41\101\\");
    EXPECT_EQ(f.strings[11], "ab");
}
