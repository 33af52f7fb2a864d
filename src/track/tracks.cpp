#include "track/tracks.hpp"

namespace track {

const char* describe(Decline reason) {
    switch (reason) {
        case Decline::None: return "accepted";
        case Decline::Unreadable: return "the file cannot be opened or read";
        case Decline::TooLarge: return "larger than read natively";
        case Decline::NotUtf8: return "not valid UTF-8";
        case Decline::NotWellFormed: return "not well-formed XML";
        case Decline::Declaration: return "not XML 1.0 in UTF-8";
        case Decline::Doctype: return "a document type declaration";
        case Decline::Markup: return "a comment, CDATA section or processing instruction read differently by gpxpy";
        case Decline::Namespaces: return "namespace declarations gpxpy may read differently";
        case Decline::Limits: return "deeper, or with longer tags or texts, than libxml2 reads";
        case Decline::NotGpx: return "the root element is not gpx";
        case Decline::Number: return "a number gpxpy would read differently or refuse";
    }
    return "unknown";
}

}  // namespace track
