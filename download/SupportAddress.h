#pragma once

namespace velm
{
    /** Where every message that asks the user to seek help sends them. */
    inline constexpr const char* supportEmailAddress = "support@velm.example";
}
