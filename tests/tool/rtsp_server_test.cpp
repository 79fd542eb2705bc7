// The RTP packets of `vivazuzoz rtsp` reach its TCP clients' appsink one
// picture at a time: each sample one whole picture, none lost or reordered.
#include "rtsp_server.h"
#include "../support/glib_sanitizers.h"

#include <gst/gst.h>
#include <gtest/gtest.h>

#include <algorithm>
#include <string>
#include <vector>

namespace {

struct Packet {
    unsigned seq;
    bool marker;
};

Packet ReadHeader(GstBuffer* buffer)
{
    guint8 header[4] = {};
    EXPECT_EQ(gst_buffer_extract(buffer, 0, header, sizeof header), sizeof header);
    return {static_cast<unsigned>(header[2] << 8 | header[3]), (header[1] & 0x80) != 0};
}

// The packets of each sample an appsink behind rtph264pay gets for
// `frames` pictures of 640x512 in packets of at most `mtu` bytes.
std::vector<std::vector<Packet>> Samples(int frames, int mtu, bool whole)
{
    gst_init(nullptr, nullptr);
    const std::string launch = "videotestsrc num-buffers=" + std::to_string(frames) +
                               " pattern=snow ! video/x-raw,width=640,height=512,framerate=25/1"
                               " ! x264enc tune=zerolatency speed-preset=ultrafast threads=1 key-int-max=4"
                               " ! rtph264pay name=pay0 config-interval=-1 mtu=" +
                               std::to_string(mtu) + " ! appsink name=sink sync=false buffer-list=true";
    GError* error = nullptr;
    GstElement* pipeline = gst_parse_launch(launch.c_str(), &error);
    if (!pipeline) {
        ADD_FAILURE() << (error ? error->message : "no pipeline");
        g_clear_error(&error);
        return {};
    }
    if (whole) {
        GstElement* pay = gst_bin_get_by_name(GST_BIN(pipeline), "pay0");
        vivatool::SendPicturesWhole(pay);
        gst_object_unref(pay);
    }
    GstElement* sink = gst_bin_get_by_name(GST_BIN(pipeline), "sink");
    gst_element_set_state(pipeline, GST_STATE_PLAYING);
    std::vector<std::vector<Packet>> samples;
    for (;;) {
        GstSample* sample = nullptr;
        g_signal_emit_by_name(sink, "try-pull-sample", static_cast<GstClockTime>(20 * GST_SECOND), &sample);
        if (!sample)
            break;
        std::vector<Packet> packets;
        if (GstBufferList* list = gst_sample_get_buffer_list(sample))
            for (guint i = 0; i < gst_buffer_list_length(list); ++i)
                packets.push_back(ReadHeader(gst_buffer_list_get(list, i)));
        else
            packets.push_back(ReadHeader(gst_sample_get_buffer(sample)));
        samples.push_back(packets);
        gst_sample_unref(sample);
    }
    gboolean eos = FALSE;
    g_object_get(sink, "eos", &eos, nullptr);
    EXPECT_TRUE(eos) << "the stream stopped before its end";
    gst_element_set_state(pipeline, GST_STATE_NULL);
    gst_object_unref(sink);
    gst_object_unref(pipeline);
    return samples;
}

TEST(RtspServer, EachPictureReachesTheTcpSinkAsOneSampleWithNoPacketLost)
{
    constexpr int kFrames = 12;
    for (int mtu : {400, 1400}) {
        SCOPED_TRACE("mtu " + std::to_string(mtu));
        const auto samples = Samples(kFrames, mtu, true);
        ASSERT_EQ(samples.size(), static_cast<size_t>(kFrames));
        bool first = true;
        unsigned next = 0;
        size_t most = 0;
        for (const auto& packets : samples) {
            ASSERT_FALSE(packets.empty());
            most = std::max(most, packets.size());
            for (size_t i = 0; i < packets.size(); ++i) {
                // Only a picture's last packet has the marker bit.
                EXPECT_EQ(packets[i].marker, i + 1 == packets.size());
                if (!first) {
                    EXPECT_EQ(packets[i].seq, next) << "a packet lost or out of order";
                }
                first = false;
                next = (packets[i].seq + 1) & 0xffff;
            }
        }
        // Noise in 400-byte packets: every picture is many packets.
        if (mtu == 400) {
            EXPECT_GT(most, 10u);
        }
    }
    // Without the grouping the payloader's packets come in several pieces a
    // picture, which is what the grouping is for.
    EXPECT_GT(Samples(kFrames, 400, false).size(), static_cast<size_t>(kFrames));
}

}  // namespace
