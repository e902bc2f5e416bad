// The search as the user sees it: the "Searching..." dialog and the main
// list, while one device floods the tool's port with answers.
#pragma once

namespace vlm::bench {

// Prints, for 1, 250, 10,000 and 60,000 answers sent within half a second,
// how long until the main list shows them and on which tick the dialog
// ended. Needs a QApplication. False when a round listed fewer rows than
// the system delivered answers.
bool MeasureSearchDialog();

}  // namespace vlm::bench
