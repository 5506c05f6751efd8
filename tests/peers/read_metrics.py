#!/usr/bin/python3
"""Reads a Prometheus text exposition with the reference parser (prometheus_client)
and prints each sample as one line:  name{label="value",...} value
Families without HELP or TYPE, a type other than gauge, or a sample whose name
is not its family's are reported as ERROR lines, as is anything the parser refuses.
Usage: read_metrics.py FILE
"""
import sys

from prometheus_client.parser import text_string_to_metric_families


def main():
    text = open(sys.argv[1], encoding="utf-8").read()
    helps = {line.split(" ")[2] for line in text.splitlines() if line.startswith("# HELP ")}
    try:
        for family in text_string_to_metric_families(text):
            if family.name not in helps:
                print("ERROR no HELP for " + family.name)
            if family.type != "gauge":
                print("ERROR %s is of type %s" % (family.name, family.type))
            for sample in family.samples:
                if sample.name != family.name:
                    print("ERROR sample %s outside its family %s" % (sample.name, family.name))
                labels = ",".join('%s="%s"' % (k, v) for k, v in sorted(sample.labels.items()))
                value = sample.value
                shown = str(int(value)) if value == int(value) else repr(value)
                print("%s{%s} %s" % (sample.name, labels, shown))
    except Exception as error:  # the parser's refusal is the finding
        print("ERROR " + str(error).replace("\n", " "))
    if not text.endswith("\n"):
        print("ERROR no line end after the last line")


main()
