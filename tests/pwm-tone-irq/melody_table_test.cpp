// The melody's two tables, entry by entry, against the melody as written down
// here: each note's pitch in Hz (0 for a rest) and its length in ms.
#include <gtest/gtest.h>

#include "melody.h"
#include "melody_score.h"

namespace {

TEST(MelodyTables, EveryNoteHasItsPitchAndLength) {
    ASSERT_EQ(sizeof tune / sizeof tune[0], melodytest::kScore.size());
    ASSERT_EQ(sizeof durt / sizeof durt[0], melodytest::kScore.size());
    int total = 0;
    for (std::size_t i = 0; i < melodytest::kScore.size(); ++i) {
        const melodytest::Note& n = melodytest::kScore[i];
        EXPECT_EQ(tune[i], n.hz == 0 ? -1 : n.hz) << "note " << i;
        // The program's own conversion: single precision, truncated.
        EXPECT_EQ(static_cast<unsigned>(durt[i] * 500), static_cast<unsigned>(n.ms)) << "note " << i;
        total += n.ms;
    }
    EXPECT_EQ(total, 23750);
    EXPECT_EQ(buzzer_pin, 1);
}

}  // namespace
