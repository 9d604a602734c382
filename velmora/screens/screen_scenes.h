#pragma once

// Registers the pages' interface files with the platform: the storyboard
// "Main" (scenes "CalculateViewController" and "HistoryTableViewController"),
// the storyboard "SolutionViewController" (its scene of the same name), the
// nib "RatingViewController" and the input cells' nibs. Also makes field
// errors show on screen. Start-up calls it once; calling it again changes
// nothing.
namespace velmora {

void registerScreenScenes();

}  // namespace velmora
