#!/usr/bin/perl
# A small command-line tool packed into one executable: it uses core modules
# with and without compiled parts, reads a bound data file and reports where
# it runs from.
use strict;
use warnings;
use List::Util qw(sum max first);
use POSIX qw(floor strftime);
use Data::Dumper;
use JSON::PP;
use Digest::MD5 qw(md5_hex);
use Storable qw(dclone);

my @numbers = @ARGV ? @ARGV : (3, 1, 4, 1, 5, 9, 2, 6);
my $report = {
    count   => scalar @numbers,
    sum     => sum(@numbers),
    max     => max(@numbers),
    first_even => (first { $_ % 2 == 0 } @numbers),
    mean_floor => floor(sum(@numbers) / @numbers),
    digest  => md5_hex(join ',', @numbers),
};
my $copy = dclone($report);
$Data::Dumper::Sortkeys = 1;
$Data::Dumper::Indent = 1;
print "Numbers: @numbers\n";
print JSON::PP->new->canonical->encode($copy), "\n";
print Dumper({ modules => scalar(grep { /\.pm$/ } keys %INC) > 0 ? 'bound' : 'none' });
my $greeting = defined &INC ? INC('greeting.txt') : undef;
print "Bound data file: ", (defined $greeting ? $greeting : "(not packed)\n");
print "Running as $0", (defined &Kovar::exe ? " from " . Kovar::exe() : ""), "\n";
print "Date: ", strftime("%Y-%m-%d", localtime), "\n";
