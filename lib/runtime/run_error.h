// Run-time errors: numbered faults that end the program.
//
// A library object that meets a programming error (an operation a base kind
// does not implement, a collection index out of range) ends the program
// through RunError with the error's number.  The number becomes the exit
// status; the place where the error was raised is recorded for the report.
#pragma once

#include <source_location>

namespace quil {

// Well-known error numbers.
constexpr int kErrorAbstractCall = 211;      // call to abstract method
constexpr int kErrorIndexOutOfRange = 213;   // collection index out of range
constexpr int kErrorCollectionOverflow = 214;  // collection overflow

// Ends the program with run-time error `code`, raised at `where`.
[[noreturn]] void RunError(int code,
                           std::source_location where = std::source_location::current());

}  // namespace quil
