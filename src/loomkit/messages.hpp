// Texts the kit prints or raises, each with its readable form beside it.
#pragma once

namespace loomkit::messages {

// 按鈕沒有定義觸發環境
inline const char* const kNoHandler = u8"\u6309\u9215\u6c92\u6709\u5b9a\u7fa9\u89f8\u767c\u74b0\u5883";
// 輸入的月份錯誤 month = 
inline const char* const kBadMonth = u8"\u8f38\u5165\u7684\u6708\u4efd\u932f\u8aa4 month = ";

// A worker whose map went away before its track was drawn.
inline const char* const kMapClosed = "the map was closed before the track could be drawn";
// 適應大小 座標(  ...  ) 層級(  ...  ): the map fitted to a track
inline const char* const kFitted = u8"\u9069\u61c9\u5927\u5c0f \u5ea7\u6a19(";
inline const char* const kFittedLevel = u8") \u5c64\u7d1a(";
// gpx繪製進度: the default label of the reading progress line
inline const char* const kProgress = u8"gpx\u7e6a\u88fd\u9032\u5ea6";
// 已匯入 --> : a file drawn
inline const char* const kImported = u8"\u5df2\u532f\u5165 --> ";

// The map's tiles.
// "map tiles: <host> answered <status> <reason>; the map now asks it less often"
inline const char* const kTilesRefused = "map tiles: ";
inline const char* const kTilesRefusedAnswered = " answered ";
inline const char* const kTilesRefusedAfter = "; the map now asks it less often";
// "map tiles: the tile cache <path> was damaged; it starts again empty"
inline const char* const kCacheDamagedBefore = "map tiles: the tile cache ";
inline const char* const kCacheDamagedAfter = " was damaged; it starts again empty";
// "map tiles: <error>": a tile that failed for a reason of its own, reported once.
inline const char* const kTileFailed = "map tiles: ";
inline const char* const kNotTileSource =
    "not a tile source (an http(s) address with {z}, {x} and {y}, or an MBTiles file): ";
inline const char* const kNoSuchTileFile = "no such MBTiles file: ";
inline const char* const kNotMBTiles = "not an MBTiles file: ";
inline const char* const kVectorTiles = "it holds vector tiles (pbf), which the map cannot draw";
// © OpenStreetMap contributors
inline const char* const kOpenStreetMapCredit = u8"\u00a9 OpenStreetMap contributors";
inline const char* const kOpenStreetMapCopyright = "https://www.openstreetmap.org/copyright";

// "<path>: drew the first of 3 segments in 2 tracks": only the first is drawn
inline const char* const kDrewFirst = ": drew the first of ";
inline const char* const kSegmentsIn = " segments in ";
inline const char* const kTrack = " track";
inline const char* const kTracks = " tracks";

}  // namespace loomkit::messages
