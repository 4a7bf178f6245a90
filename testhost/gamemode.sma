// The demo's gamemode: the test host runs it on the real script engine
// (scripts/demo.sh compiles it with embryo_cc against script-include/).
#include <core_plugin>

// The host asks for each bot in turn, so that it can take its player pool
// away in between.
public AddBot(playerid, const name[])
{
    new result = AddServerBot(playerid, name);
    printf("script: AddServerBot(%d, \"%s\") returned %d\n", playerid, name, result);
    return result;
}

public OnPlayerTabUpdate(playerid)
{
    printf("script: OnPlayerTabUpdate(%d) called\n", playerid);
    return 1;
}
