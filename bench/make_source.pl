#!/usr/bin/env perl
# Writes a source-like file of about SIZE MiB to standard output: C-like lines of mixed length,
# a share of them (1% by default, all of them with SHARE 1) holding OLD_NAME, a third of those on
# "#define" lines. Deterministic, so every run of the benchmark edits the same bytes.
# Usage: make_source.pl SIZE_MIB [SHARE] > file
use strict;
use warnings;

my $size = ($ARGV[0] // 256) * 1024 * 1024;
my $share = $ARGV[1] // 0.01;
srand(20261210);
my @words = qw(buffer count index value result status length offset handle config
               node next prev data flags state error token parser reader writer);
my @plain = (
    sub { sprintf "    int %s_%d = %s + %d;\n", $words[rand @words], rand 1000, $words[rand @words], rand 100 },
    sub { sprintf "    if (%s->%s != NULL) {\n", $words[rand @words], $words[rand @words] },
    sub { "    }\n" },
    sub { "\n" },
    sub { sprintf "    /* %s the %s before %s */\n", $words[rand @words], $words[rand @words], $words[rand @words] },
    sub { sprintf "static void %s_%s(struct %s *p, size_t n)\n", $words[rand @words], $words[rand @words], $words[rand @words] },
    sub { sprintf "        return %s(%s, %s, %d);\n", $words[rand @words], $words[rand @words], $words[rand @words], rand 10000 },
    sub { sprintf "#include \"%s/%s.h\"\n", $words[rand @words], $words[rand @words] },
);
my @hits = (
    sub { sprintf "    %s = OLD_NAME(%s, %d);\n", $words[rand @words], $words[rand @words], rand 100 },
    sub { sprintf "    OLD_NAME->%s = %s;\n", $words[rand @words], $words[rand @words] },
    sub { sprintf "#define OLD_NAME_%s %d\n", uc $words[rand @words], rand 1000 },
);
# A pool of lines, drawn from at random: generating every line afresh would make the fixture
# slower to build than the runs it serves.
my @pool = map { $plain[rand @plain]->() } 1 .. 20000;
my @hit_pool = map { $hits[$_ % 3]->() } 0 .. 599;
my $written = 0;
my $chunk = '';
while ($written < $size) {
    my $line = rand() < $share ? $hit_pool[rand @hit_pool] : $pool[rand @pool];
    $chunk .= $line;
    $written += length $line;
    if (length $chunk > 1 << 20) {
        print $chunk;
        $chunk = '';
    }
}
print $chunk;
