#!/usr/bin/perl
# Draws the clock's three icons, low.png, medium.png and high.png: a clock
# face in green, amber or red, 32 x 32 pixels with an alpha channel. Run it
# in this directory to make them again; it needs only Perl's core modules.
use strict;
use warnings;

use Compress::Zlib qw(compress crc32);

my $size = 32;
my $samples = 4;  # per pixel and axis, for smooth edges

my %colour = (low => [0x2e, 0xa0, 0x43], medium => [0xe0, 0x9a, 0x10], high => [0xd0, 0x30, 0x30]);

# Distance from point (px, py) to the segment (ax, ay)-(bx, by).
sub segment_distance {
    my ($px, $py, $ax, $ay, $bx, $by) = @_;
    my ($dx, $dy) = ($bx - $ax, $by - $ay);
    my $t = (($px - $ax) * $dx + ($py - $ay) * $dy) / ($dx * $dx + $dy * $dy);
    $t = $t < 0 ? 0 : $t > 1 ? 1 : $t;
    return sqrt(($px - $ax - $t * $dx)**2 + ($py - $ay - $t * $dy)**2);
}

# The colour (r, g, b, a) of one sample point.
sub sample {
    my ($x, $y, $face) = @_;
    my $c = $size / 2;
    my $r = sqrt(($x - $c)**2 + ($y - $c)**2);
    return (0, 0, 0, 0) if $r > 15.5;
    return (0x20, 0x20, 0x20, 255) if $r > 13.5;  # rim
    # Marks at 12, 3, 6 and 9; hands at three o'clock; the hub.
    return (0xff, 0xff, 0xff, 255)
        if ($r > 10.5 && (abs($x - $c) < 0.9 || abs($y - $c) < 0.9))
        || segment_distance($x, $y, $c, $c, $c + 6.0, $c) < 1.4
        || segment_distance($x, $y, $c, $c, $c, $c - 9.5) < 1.1
        || $r < 2.0;
    return (@$face, 255);
}

sub chunk {
    my ($type, $data) = @_;
    return pack('N', length $data) . $type . $data . pack('N', crc32($type . $data));
}

for my $name (sort keys %colour) {
    my $raw = '';
    for my $y (0 .. $size - 1) {
        $raw .= "\0";  # no filter
        for my $x (0 .. $size - 1) {
            my @sum = (0, 0, 0, 0);
            for my $sy (0 .. $samples - 1) {
                for my $sx (0 .. $samples - 1) {
                    my @s = sample($x + ($sx + 0.5) / $samples, $y + ($sy + 0.5) / $samples, $colour{$name});
                    # Premultiplied, so that transparent samples do not darken the edge.
                    $sum[$_] += $s[$_] * $s[3] / 255 for 0 .. 2;
                    $sum[3] += $s[3];
                }
            }
            my $alpha = $sum[3] / ($samples * $samples);
            my @rgb = map { $sum[3] ? int($sum[$_] * 255 / $sum[3] + 0.5) : 0 } 0 .. 2;
            $raw .= pack('C4', @rgb, int($alpha + 0.5));
        }
    }
    open(my $out, '>:raw', "$name.png") or die "$name.png: $!\n";
    print $out "\x89PNG\r\n\x1a\n",
        chunk('IHDR', pack('NNCCCCC', $size, $size, 8, 6, 0, 0, 0)),
        chunk('IDAT', compress($raw, 9)),
        chunk('IEND', '');
    close($out) or die "$name.png: $!\n";
}
