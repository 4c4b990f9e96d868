#pragma once
#include "batch_view.h"

#include <functional>
#include <memory>

// The batch on a terminal: JSON lines for --json, else live lines redrawn in place or plain
// lines for a log; the live lines show `board` as it is. Failures go to standard error in
// every view, and a lost terminal drops what is still written.
std::unique_ptr<BatchView> makeBatchView(bool json, bool live, std::function<BatchBoard()> board);
