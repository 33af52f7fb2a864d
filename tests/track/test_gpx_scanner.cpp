// The scanner against the exact reader: what it reads it reads exactly as
// the exact reader does, in any window and any number of pieces; what it
// cannot prove it leaves to it. The Python tests hold both to gpxpy.
#include "reader_checks.hpp"
#include "track/gpx_reader.hpp"
#include "track/gpx_scanner.hpp"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;

const std::string kHead =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
    "<gpx creator=\"Garmin Connect\" version=\"1.1\" xmlns:ns3=\"http://www.garmin.com/xmlschemas/"
    "TrackPointExtension/v1\" xmlns=\"http://www.topografix.com/GPX/1/1\" "
    "xmlns:xsi=\"http://www.w3.org/2001/XMLSchema-instance\">\n";

std::string file_bytes(const fs::path& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

// A recording: `tracks` tracks of `segments` segments of `points` points,
// each point written as `point` makes it from its index.
template <class Point>
std::string recording(int tracks, int segments, int points, Point point) {
    std::string doc = kHead + "<metadata><bounds minlat='1' maxlat='2' minlon='3' maxlon='4'/></metadata>\n";
    int i = 0;
    for (int t = 0; t < tracks; ++t) {
        doc += "<trk><name>run " + std::to_string(t) + "</name>\n";
        for (int s = 0; s < segments; ++s) {
            doc += "<trkseg>\n";
            for (int p = 0; p < points; ++p) doc += point(i++);
            doc += "</trkseg>\n";
        }
        doc += "</trk>\n";
    }
    return doc + "</gpx>\n";
}

std::string plain_point(int i) {
    return "<trkpt lat=\"46." + std::to_string(100000 + i * 7) + "\" lon=\"-13." + std::to_string(i * 13) +
           "\"><ele>" + std::to_string(300 + i % 50) + ".5</ele><time>2024-05-01T10:00:00Z</time></trkpt>\n";
}

bool scanned(const std::string& doc, track::ScanSetup setup = {}) { return track::scan_gpx(doc, setup).has_value(); }

TEST(GpxScanner, ReadsRealFilesAsTheExactReaderDoes) {
    std::vector<fs::path> files;
    for (const fs::directory_entry& entry : fs::directory_iterator(TRACK_GPX_FILES))
        if (entry.path().extension() == ".gpx") files.push_back(entry.path());
    for (const fs::directory_entry& entry : fs::directory_iterator(TRACK_REGRESSIONS))
        if (entry.path().filename() != "README.md") files.push_back(entry.path());
    ASSERT_GE(files.size(), 20u);
    for (const fs::path& file : files) {
        std::string bytes = file_bytes(file);
        EXPECT_EQ(track_checks::scanner_faults(bytes), "") << file;
        EXPECT_TRUE(track_checks::same_tracks(track::read_gpx_file(file), track::read_gpx_file_exact(file))) << file;
        // Real files from devices and tools are plain: all of them scanned.
        if (file.parent_path() == fs::path(TRACK_GPX_FILES)) {
            EXPECT_TRUE(scanned(bytes)) << file;
        }
    }
}

// Variants of a plain recording, each of a kind real files or hostile ones
// show: scanned (`fast`) or left to the exact reader, and never read
// otherwise than it reads them.
TEST(GpxScanner, VariantsScannedOrLeftAlike) {
    struct Variant {
        const char* name;
        std::string from, to;
        bool fast;
    };
    const std::string point = "<trkpt lat=\"46.100007\" lon=\"-13.13\">";
    const Variant variants[] = {
        {"plain", "", "", true},
        {"comment", "<trk>", "<!-- made by <tests> & co -->\n<trk><!--x-->", true},
        {"comment before the root", "<gpx ", "<!-- head -->\n<?xml-stylesheet href='v.xsl'?>\n<gpx ", true},
        {"comment after the root", "</gpx>\n", "</gpx>\n<!-- tail -->\n", true},
        {"cdata name", "<name>run 0</name>", "<name><![CDATA[run <0> & ]]]]></name>", true},
        {"entities", "<name>run 1</name>", "<name>a &amp; b &lt; &#x4e2d;&#25991;</name>", true},
        {"byte order mark", "<?xml", "\xef\xbb\xbf<?xml", true},
        {"no declaration", "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n", "", true},
        {"single quotes", point, "<trkpt lat='46.100007' lon='-13.13'>", true},
        {"other order, odd spaces", point, "<trkpt\r\n\tlon = \"-13.13\"\n lat=\" 46.100007\t\" >", true},
        {"prefixed lookalikes", point,
         "<ns3:trkpt lat='1' lon='2'/>" + point + "<extensions><trkpt lat='9' lon='9'/></extensions>", true},
        {"prefix declared below", point,
         point + "<extensions><p:x xmlns:p=\"urn:p\"><p:trkpt lat='1' lon='2'/></p:x></extensions>", true},
        {"default namespace below", point, point + "<extensions><x xmlns=\"urn:x\"><ele>x</ele></x></extensions>", true},
        {"second ele not read", "<ele>300.5</ele>", "<ele>300.5</ele><ele>high</ele>", true},
        {"routes and waypoints", "<trk>", "<wpt lat='1' lon='2'><ele>3</ele></wpt><rte><rtept lat='3' lon='4'/></rte><trk>",
         true},
        {"numbers", point, "<trkpt lat=\"-0\" lon=\".5\"/><trkpt lat=\"5.\" lon=\"00012.50000000000000000000001\"/>" + point,
         true},
        {"long number", point, "<trkpt lat=\"1." + std::string(5000, '3') + "\" lon=\"2\"/>" + point, true},
        // Left to the exact reader.
        {"doctype", "<gpx ", "<!DOCTYPE gpx>\n<gpx ", false},
        {"char reference in a coordinate", point, "<trkpt lat=\"4&#54;.1\" lon=\"-13.13\">", false},
        {"exponent", point, "<trkpt lat=\"4.6e1\" lon=\"-13.13\">", false},
        {"comment in a number", "<ele>300.5</ele>", "<ele>300<!---->.5</ele>", false},
        {"xmlns in text", "<name>run 0</name>", "<name>xmlns</name>", false},
        {"undeclared prefix", point, point + "<q:x/>", false},
        {"mismatched tag", "</trkpt>", "</trkPt>", false},
        {"unclosed", "</trk>\n</gpx>", "</trk>\n", false},
        {"two roots", "</gpx>\n", "</gpx>\n<gpx/>", false},
        {"latin-1", "<name>run 0</name>", "<name>caf\xe9</name>", false},
        {"control character", "<name>run 0</name>", "<name>a\x01</name>", false},
        {"duplicate attribute", point, "<trkpt lat=\"1\" lat=\"1\" lon=\"2\">", false},
    };
    std::string base = recording(2, 2, 30, plain_point);
    for (const Variant& v : variants) {
        std::string doc = base;
        if (!v.from.empty()) {
            std::size_t at = doc.find(v.from);
            ASSERT_NE(at, std::string::npos) << v.name;
            doc.replace(at, v.from.size(), v.to);
        }
        EXPECT_EQ(track_checks::scanner_faults(doc), "") << v.name;
        EXPECT_EQ(scanned(doc), v.fast) << v.name;
        // A small window holds the root's start tag, but not the long number.
        EXPECT_EQ(scanned(doc, {1024, 3}), v.fast && v.to.size() < 1000) << v.name;
    }
    // Cut anywhere, the document is never scanned.
    for (std::size_t cut = 0; cut + 1 < base.size(); cut += 7) {
        std::string head = base.substr(0, cut);
        ASSERT_EQ(track_checks::scanner_faults(head), "") << cut;
        ASSERT_FALSE(scanned(head, {64 + cut % 300, static_cast<unsigned>(1 + cut % 4)})) << cut;
    }
}

// The pieces' guesses where a track point starts: kept where the scan from
// the start arrives there inside a segment, dropped where it does not (a
// lookalike in an extension, a comment or CDATA), never read twice.
TEST(GpxScanner, PiecesKeepEveryPointOnceInOrder) {
    std::mt19937 rnd(18);
    auto point = [&rnd](int i) {
        std::string p = plain_point(i);
        switch (rnd() % 12) {
            case 0: return "<!-- <trkpt lat='9' lon='9'/> -->" + p;
            case 1: return p + "<![CDATA[<trkpt lat='8' lon='8'>]]>";
            case 2:
                return p.replace(p.find("</trkpt>"), 8,
                                 "<extensions><trkpt lat='7' lon='7'><ns3:hr>1</ns3:hr></trkpt></extensions></trkpt>");
            case 3: return "<trkseg/>" + p;
            default: return p;
        }
    };
    std::string doc = recording(3, 3, 400, point);
    track::Tracks exact = track::read_gpx(doc);
    ASSERT_TRUE(exact.accepted());
    ASSERT_EQ(exact.points.size(), 3600u);
    for (unsigned pieces = 1; pieces <= 9; ++pieces)
        for (std::size_t window : {std::size_t(300), std::size_t(4096), track::kScanWindow}) {
            std::optional<track::Tracks> scan = track::scan_gpx(doc, {window, pieces});
            ASSERT_TRUE(scan) << window << " " << pieces;
            EXPECT_TRUE(track_checks::same_tracks(*scan, exact)) << window << " " << pieces;
        }
}

}  // namespace
