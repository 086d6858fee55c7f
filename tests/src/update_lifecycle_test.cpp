// The pieces of an update's lifecycle alone: the order updates run in, and
// the text of the pending-updates file, old layout included.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "src/pending_format.h"
#include "src/update_order.h"

namespace {

// "ticket:version", with "@pid" when started, one per pending update.
std::string summary(const PendingUpdates& pending) {
    std::string text;
    for (const PendingUpdate& entry : pending.updates()) {
        text += (text.empty() ? "" : "|") + std::to_string(entry.update.ticket) + ":" +
                entry.update.version +
                (entry.started ? "@" + std::to_string(entry.started->pid) : "");
    }
    return text;
}

TEST(PendingFile, EventsLeaveTheUpdatesStillPending) {
    const std::string header = pending_header();
    const struct {
        std::string text;
        std::string pending;
        std::vector<std::string> damaged;
    } cases[] = {
        {header + "add 1 v1\nadd 2 v2\nstart 1 b 10 99\n", "1:v1@10|2:v2", {}},
        {header + "add 1 v1\nstart 1 b 10 99\nend 1\nadd 2 a b \n", "2:a b ", {}},
        {header + "add 7 \nadd 9 x\n", "7:|9:x", {}},
        // A write cut short by a crash: its event never took effect.
        {header + "add 1 v1\nstart 1 b 10", "1:v1", {}},
        {header + "add 1 v1\nstart 2 b 10 99\nend 5\nadd 0 z\nstart 1 b -1 9\nfrob 1\n",
         "1:v1",
         {"start 2 b 10 99", "end 5", "add 0 z", "start 1 b -1 9", "frob 1"}},
        {header + "add 1 v1\nstart 1 b 10 99\nstart 1 b 11 99\n", "1:v1@10", {"start 1 b 11 99"}},
        {header + "bad \x1b[2J\tline\n", "", {"bad \\x1b[2J\\x09line"}},
        // The earlier layout: a snapshot, tickets by position.
        {"# skein_edge_updater: accepted updates whose scripts have not ended, oldest first\n"
         "running b 10 99 v 1\nqueued v2\nqueued \n",
         "1:v 1@10|2:v2|3:",
         {}},
        {"queued v1\nrunning b x 99 v2\n", "1:v1", {"running b x 99 v2"}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const PendingRead read = parse_pending(c.text);
        EXPECT_EQ(summary(read.pending), c.pending);
        EXPECT_EQ(read.damaged, c.damaged);
        // What is written whole reads back the same.
        EXPECT_EQ(summary(parse_pending(pending_snapshot(read.pending)).pending), c.pending);
    }
    const std::string long_line = header + "x" + std::string(500, 'y') + "\n";
    EXPECT_EQ(parse_pending(long_line).damaged.at(0), "x" + std::string(119, 'y') + "...");
}

TEST(UpdateOrder, OneRunsAtATimeOldestFirstAndTheLastDecides) {
    UpdateOrder order(2);
    EXPECT_EQ(order.add("a").ticket, 1u);
    EXPECT_EQ(order.add("b").command, "sh Update_Skein_Edge.sh b");
    EXPECT_FALSE(order.has_room());
    order.start_front({"boot", 10, 1});
    EXPECT_TRUE(order.has_room());  // the running one does not wait
    EXPECT_EQ(order.front()->update.version, "a");
    EXPECT_FALSE(order.end_front());  // b still waits
    EXPECT_TRUE(order.end_front());
    EXPECT_EQ(order.front(), nullptr);

    // Taken over at start-up: tickets go on after the largest; the start
    // script waits behind what still runs and ahead of the rest, and does
    // not count as an update.
    UpdateOrder resumed(16);
    resumed.restore_left_running(make_update(8, "old"), {"boot", 10, 1});
    resumed.restore_waiting(make_update(9, "next"));
    resumed.add_start_script("bash start_containers.sh");
    EXPECT_EQ(resumed.add("new").ticket, 10u);
    std::string kinds;
    for (const Turn& turn : resumed.turns()) {
        kinds += turn.kind == TurnKind::kStartScript ? "S" : turn.update.version + " ";
    }
    EXPECT_EQ(kinds, "old Snext new ");
    EXPECT_EQ(resumed.waiting_updates(), 2u);
    EXPECT_FALSE(resumed.end_front());
    EXPECT_FALSE(resumed.end_front());
    EXPECT_FALSE(resumed.end_front());
    EXPECT_TRUE(resumed.end_front());
}

}  // namespace
