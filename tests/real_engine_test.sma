// The script real_engine_test runs through core.so on the real script engine.
#include <core_plugin>

native RecordTabUpdate(playerid);  // the test's own natives
native CopyInHost(const text[]);

public AddBot(playerid, const name[])
{
    return AddServerBot(playerid, name);
}

// A name of length characters (at most 300), built at run time.
public AddLongBot(playerid, length)
{
    new name[301];
    for (new i = 0; i < length && i < 300; i++)
        name[i] = 'a' + i % 26;
    return AddServerBot(playerid, name);
}

public Copy(const text[])
{
    return CopyInHost(text);
}

public OnPlayerTabUpdate(playerid)
{
    return RecordTabUpdate(playerid);
}
