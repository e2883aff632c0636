// A table of platform calls as the system has them, filled from the table's
// X-macro list of X(name, system, result, parameters): each member takes
// system, so that the list alone says what the real table holds.
#pragma once

#define KORMELT_SYSTEM_CALL_ENTRY(name, system, result, parameters) table.name = system;

#define KORMELT_SYSTEM_CALL_TABLE(Table, LIST) \
    [] {                                       \
        Table table;                           \
        LIST(KORMELT_SYSTEM_CALL_ENTRY)        \
        return table;                          \
    }()
