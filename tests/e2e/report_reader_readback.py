"""Reads what stubwarden-report wrote back with Python's own readers: JSON
with the json module, CSV with the csv module. Prints, one a line, each as
a compact JSON array: the report's facts, its counters or usage rows, and
one record per file or folder line in the same shape from either format, so
that the test compares the two with each other and with what it expects.

Usage: report_reader_readback.py json|csv <file>
"""
import csv
import json
import sys


def line(values):
    print(json.dumps(values, ensure_ascii=False, separators=(",", ":")))


def main():
    kind, path = sys.argv[1], sys.argv[2]
    if kind == "json":
        with open(path, encoding="utf-8") as text:
            report = json.load(text)
        line(["report", report["report"], report["target"], report["start_time"], report["start_time_utc"],
              report["exit_code"], report["mode"]])
        if report["summary"] is not None:
            line(["summary"] + list(report["summary"].values()))
        for row in report["usage"]:
            line(["usage", row["archive_name"], row["root_path"], "%.2f" % row["archived_kb"],
                  "%.2f" % row["non_archived_kb"]])
        for item in report["files"]:
            error = item.get("error") or item.get("repair_error") or {}
            line(["file", item["path"], item["verdict"], item.get("fault", ""), item.get("repair", ""),
                  "%s:%s" % (error["operation"], error["code"]) if error else "",
                  item["dump"]["length"] if "dump" in item else "", item.get("size", "")])
        for item in report["folders"]:
            line(["folder", item["path"], item["outcome"], item["operation"],
                  item["code"] if "code" in item else item["message"]])
    else:
        with open(path, encoding="utf-8", newline="") as text:
            rows = list(csv.reader(text, strict=True))
        heading = rows[0]
        for values in rows[1:]:
            if len(values) != len(heading):
                raise SystemExit("row %r has %d fields, the heading %d" % (values, len(values), len(heading)))
            row = dict(zip(heading, values))
            if row["kind"] == "file":
                error = "%s:%s" % (row["error_operation"], row["error_code"]) if row["error_operation"] else ""
                line(["file", row["path"], row["verdict"], row["fault"], row["repair"], error,
                      int(row["dump_length"]) if row["dump_length"] else "",
                      int(row["size"]) if row["size"] else ""])
            else:
                line(["folder", row["path"], row["verdict"], row["error_operation"],
                      int(row["error_code"]) if row["error_code"] else row["message"]])


main()
