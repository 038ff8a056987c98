// The operator's answer to the pause: one line on standard input. Only a
// line or a true end of input ends the wait; standard input that has no
// data yet (a non-blocking one) is waited on, and any other read error is
// reported rather than taken for the operator's go-ahead.
#ifndef QXFW_TOOL_OPERATOR_INPUT_H_
#define QXFW_TOOL_OPERATOR_INPUT_H_

/// How the wait for the operator's line ended.
struct OperatorAnswer {
  enum Kind { kLine, kEndOfInput, kReadError };
  Kind kind = kLine;
  /// The errno value of a read error.
  int error = 0;
};

/// Reads standard input up to and including its next line feed, whatever
/// the line's length, and discards what it read.
OperatorAnswer WaitForOperatorLine();

/// The platform's part: true when `error`, from a read of standard input,
/// means only that no data has come yet; it then returns once some may have
/// (or the input has ended). False for a true read error.
bool WaitedForInputAfter(int error);

#endif  // QXFW_TOOL_OPERATOR_INPUT_H_
