#pragma once

#include <string>
#include <vector>

#include "platform/ui/table_view.h"

namespace velmora {

// The video row of the solution page ("videoCollectionTableViewCell", from
// the interface file "VideoCollectionTableViewCell"): the shell's video
// tutorial cells implement it. Without a registered cell the row stays empty.
class VideoRowCell : public platform::ui::TableViewCell {
public:
    static constexpr const char* reuseIdentifier = "videoCollectionTableViewCell";
    static constexpr const char* nibName = "VideoCollectionTableViewCell";

    using platform::ui::TableViewCell::TableViewCell;

    // Takes the addresses and reloads the videos.
    virtual void showVideos(const std::vector<std::string>& videoUrlStrings) = 0;
};

}  // namespace velmora
