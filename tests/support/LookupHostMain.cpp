// The main of a test program whose transfers ask the proxy script: the
// route starts the running program again as its lookup process, so the test
// program answers that argument as Updater.exe does.

#include <gtest/gtest.h>

#include <cstring>

#include "net/ProxyScript.h"

int main(int argc, char** argv)
{
    if (argc == 2 && _stricmp(argv[1], kProxyLookupArgument) == 0)
        return AnswerProxyLookup();
    testing::InitGoogleTest(&argc, argv);
    return RUN_ALL_TESTS();
}
