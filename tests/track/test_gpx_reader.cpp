// The GPX reader on its own: what it takes and what it leaves to gpxpy (the
// Python tests hold what it takes to gpxpy's results), read in any chunks.
#include "reader_checks.hpp"
#include "track/gpx_reader.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace track {

// Test failures name the reason.
void PrintTo(Decline reason, std::ostream* out) { *out << describe(reason); }

}  // namespace track

namespace {

using track::Decline;

namespace fs = std::filesystem;

const std::string kGpx11 = "http://www.topografix.com/GPX/1/1";

std::string file_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::vector<std::pair<double, double>> pairs(const track::Tracks& tracks) {
    std::vector<std::pair<double, double>> out;
    for (const track::LatLon& p : tracks.points) out.emplace_back(p.lat, p.lon);
    return out;
}

std::string nested(int depth) {
    std::string open, close;
    for (int i = 0; i < depth; ++i) open += "<e>", close += "</e>";
    return open + close;
}

std::string segment(const std::string& points) { return "<trk><trkseg>" + points + "</trkseg></trk>"; }

std::string gpx(const std::string& body, const std::string& root_attributes = "") {
    return "<gpx" + root_attributes + ">" + body + "</gpx>";
}

TEST(GpxReader, PointsSegmentsAndTracksInFileOrder) {
    track::Tracks tracks = track::read_gpx(gpx(
        "<wpt lat='9' lon='9'/><rte><rtept lat='8' lon='8'/></rte>"
        "<trk><name>a</name><trkseg><trkpt lat='1.5' lon='-2'><ele>3</ele></trkpt><trkpt lat='3' lon='4'/>"
        "</trkseg><trkseg/><extensions><trkseg><trkpt lat='7' lon='7'/></trkseg></extensions></trk>"
        "<trk/><trk><trkseg><trkpt lat='5' lon='6'/></trkseg></trk>",
        " version='1.1'"));
    ASSERT_TRUE(tracks.accepted()) << track::describe(tracks.declined);
    // Routes, waypoints and lookalikes below extensions are not track points.
    EXPECT_EQ(pairs(tracks), (std::vector<std::pair<double, double>>{{1.5, -2}, {3, 4}, {5, 6}}));
    EXPECT_EQ(tracks.segment_starts, (std::vector<std::size_t>{0, 2, 2}));
    EXPECT_EQ(tracks.track_segments, (std::vector<std::size_t>{2, 0, 1}));
    EXPECT_EQ(tracks.segment_end(1), 2u);
    EXPECT_EQ(tracks.segment_end(2), 3u);
}

TEST(GpxReader, DeclinesWithTheReason) {
    struct Case {
        const char* name;
        std::string document;
        Decline reason;
    };
    const Case cases[] = {
        {"doctype", "<!DOCTYPE gpx [<!ENTITY e '4'>]>" + gpx(segment("<trkpt lat='&e;' lon='2'/>")),
         Decline::Doctype},
        {"latin-1", "<?xml version='1.0' encoding='ISO-8859-1'?>" + gpx(""), Decline::Declaration},
        {"xml 1.1", "<?xml version='1.1'?>" + gpx(""), Decline::Declaration},
        {"not utf-8", gpx("<trk><name>caf\xe9</name></trk>"), Decline::NotUtf8},
        {"cut character", gpx("<trk><name>\xe4\xb8</name></trk>"), Decline::NotUtf8},
        {"surrogate", gpx("<trk><name>\xed\xa0\x80</name></trk>"), Decline::NotUtf8},
        {"not well-formed", gpx("<trk><trkseg></trk>"), Decline::NotWellFormed},
        {"root not gpx", "<kml>" + segment("<trkpt lat='1' lon='2'/>") + "</kml>", Decline::NotGpx},
        {"exponent", gpx(segment("<trkpt lat='1e1' lon='2'/>")), Decline::Number},
        {"inf", gpx(segment("<trkpt lat='inf' lon='2'/>")), Decline::Number},
        {"nan", gpx(segment("<trkpt lat='1' lon='nan'/>")), Decline::Number},
        {"missing lon", gpx(segment("<trkpt lat='1'/>")), Decline::Number},
        {"bad waypoint", gpx("<wpt lat='north' lon='2'/>"), Decline::Number},
        {"bad elevation", gpx(segment("<trkpt lat='1' lon='2'><ele> </ele></trkpt>")), Decline::Number},
        {"bad fix", gpx(segment("<trkpt lat='1' lon='2'><fix>4d</fix></trkpt>")), Decline::Number},
        {"bad 1.0 speed", gpx(segment("<trkpt lat='1' lon='2'><speed>fast</speed></trkpt>"), " version='1.0'"),
         Decline::Number},
        {"bad track number", gpx("<trk><number>1.5</number></trk>"), Decline::Number},
        {"bad bounds", gpx("<metadata><bounds minlat='x'/></metadata>", " version='1.1'"), Decline::Number},
        {"comment in a number", gpx(segment("<trkpt lat='1' lon='2'><ele>1<!--x-->2</ele></trkpt>")),
         Decline::Markup},
        // expat returns from a CDATA section cut off by the end of its input
        // as if it had not been stopped.
        {"cdata cut off in a number", "<gpx><trk><number><![CDATA[", Decline::Markup},
        {"pi in a number", gpx(segment("<trkpt lat='1' lon='2'><ele>1<?pi?></ele></trkpt>")), Decline::Markup},
        {"reserved pi target", "<?xml-x?>" + gpx(""), Decline::Markup},
        {"too deep", gpx(nested(300)), Decline::Limits},
    };
    for (const Case& c : cases) {
        track::Tracks tracks = track::read_gpx(c.document);
        EXPECT_EQ(tracks.declined, c.reason) << c.name;
        EXPECT_TRUE(tracks.points.empty() && tracks.segment_starts.empty()) << c.name;
    }
}

TEST(GpxReader, NamespacesAsGpxpyReadsThem) {
    const std::string garmin =
        "<?xml version='1.0' encoding='UTF-8'?>\n"
        "<gpx creator='Garmin Connect' version='1.1' xmlns:ns3=\"http://www.garmin.com/xmlschemas/"
        "TrackPointExtension/v1\" xmlns=\"" + kGpx11 + "\" xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\" "
        "xmlns:ns2=\"http://www.garmin.com/xmlschemas/GpxExtensions/v3\">" +
        segment("<trkpt lat='46.5' lon='14.25'><extensions><ns3:TrackPointExtension><ns3:hr>120</ns3:hr>"
                "</ns3:TrackPointExtension></extensions></trkpt>") + "</gpx>";
    track::Tracks tracks = track::read_gpx(garmin);
    ASSERT_TRUE(tracks.accepted()) << track::describe(tracks.declined);
    EXPECT_EQ(pairs(tracks), (std::vector<std::pair<double, double>>{{46.5, 14.25}}));

    // gpxpy cuts the first default declaration out of the text and no
    // other: a track below a later one is in a namespace, not one of its.
    tracks = track::read_gpx(gpx("<trk xmlns=\"" + kGpx11 + "\"><trkseg><trkpt lat='1' lon='2'/></trkseg></trk>"
                                    "<trk xmlns=\"" + kGpx11 + "\"><trkseg><trkpt lat='3' lon='4'/></trkseg></trk>"));
    ASSERT_TRUE(tracks.accepted()) << track::describe(tracks.declined);
    EXPECT_EQ(pairs(tracks), (std::vector<std::pair<double, double>>{{1, 2}}));
    EXPECT_EQ(tracks.track_segments, (std::vector<std::size_t>{1}));

    // A prefix bound to the GPX namespace still names another element.
    tracks = track::read_gpx(gpx(segment("<g:trkpt lat='1' lon='2'/><trkpt lat='3' lon='4'/>"),
                                    " xmlns=\"" + kGpx11 + "\" xmlns:g=\"" + kGpx11 + "\""));
    ASSERT_TRUE(tracks.accepted());
    EXPECT_EQ(pairs(tracks), (std::vector<std::pair<double, double>>{{3, 4}}));

    // Declarations that gpxpy's regular expressions or lxml read otherwise.
    for (const std::string& odd : std::vector<std::string>{" xmlns=\"\"", " xmlns = \"" + kGpx11 + "\"",
                                                           " xmlns:a=\"http://a b\"",
                                                           " xmlns:xml=\"http://www.w3.org/XML/1998/namespace\""})
        EXPECT_EQ(track::read_gpx(gpx("", odd)).declined, Decline::Namespaces) << odd;
    // "xmlns" anywhere else in the text could move gpxpy's cut.
    EXPECT_EQ(track::read_gpx("<!-- xmlns=\"urn:x\" -->" + gpx("", " xmlns=\"" + kGpx11 + "\"")).declined,
              Decline::Namespaces);
    EXPECT_EQ(track::read_gpx(gpx("<trk><name>xmlns</name></trk>")).declined, Decline::Namespaces);
}

TEST(GpxReader, FirstFieldOfANameOnly) {
    // gpxpy converts only the first child of each name (and course and speed
    // of GPX 1.0 track points only).
    EXPECT_TRUE(track::read_gpx(gpx(segment("<trkpt lat='1' lon='2'><ele>3</ele><ele>x</ele></trkpt>")))
                    .accepted());
    EXPECT_TRUE(track::read_gpx(gpx(segment("<trkpt lat='1' lon='2'><course>x</course></trkpt>"),
                                       " version='1.1'"))
                    .accepted());
    EXPECT_TRUE(track::read_gpx(gpx("<trk><number><b/>x</number><trkseg/></trk>")).accepted());
}

TEST(GpxReader, SameResultInAnyChunksAndFromTheFile) {
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(TRACK_GPX_FILES))
        if (entry.path().extension() == ".gpx") files.push_back(entry.path());
    ASSERT_GE(files.size(), 20u);
    std::size_t accepted = 0;
    for (const fs::path& file : files) {
        std::string bytes = file_bytes(file);
        track::Tracks whole = track::read_gpx(bytes);
        accepted += whole.accepted();
        EXPECT_TRUE(track_checks::same_tracks(whole, track::read_gpx_file(file))) << file;
        for (std::size_t chunk : {1, 2, 3, 5, 64, 4093})
            EXPECT_TRUE(track_checks::same_tracks(whole, track::read_gpx(bytes, chunk))) << file << " " << chunk;
    }
    EXPECT_EQ(accepted, files.size());  // real files from devices and tools are all read natively

    // A big multi-byte character and "xmlns" across every boundary.
    std::string names;
    for (int i = 0; i < 3000; ++i) names += "<name>\xe4\xb8\xad" + std::string(i % 7, 'x') + " xmlns</name>";
    std::string doc = gpx("<trk>" + names + "<trkseg><trkpt lat='1' lon='2'/></trkseg></trk>");
    for (std::size_t chunk : {1, 4, 5, 6, 7, 1000, 1 << 18})
        EXPECT_EQ(track::read_gpx(doc, chunk).declined, Decline::Namespaces) << chunk;
}

TEST(GpxReader, UnreadableFilesAreLeftToPython) {
    EXPECT_EQ(track::read_gpx_file(fs::path(TRACK_GPX_FILES) / "missing.gpx").declined, Decline::Unreadable);
    EXPECT_EQ(track::read_gpx_file(fs::path(TRACK_GPX_FILES)).declined, Decline::Unreadable);  // a folder
}

TEST(GpxReader, RegressionInputsHoldTheRules) {
    std::size_t count = 0;
    for (const fs::directory_entry& entry : fs::directory_iterator(TRACK_REGRESSIONS)) {
        if (entry.path().filename() == "README.md") continue;
        EXPECT_EQ(track_checks::reader_faults(file_bytes(entry.path())), "") << entry.path();
        ++count;
    }
    SUCCEED() << count << " inputs";
}

}  // namespace
