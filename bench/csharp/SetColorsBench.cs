// A 912-LED SetColors through the C# binding against the same call made from C, side by side in one
// process over one connection to a responder that answers at once (veltari_fixed_responder). Rounds
// alternate between the two so that both see the same machine load; the medians are compared.
//
//   mono SetColorsBench.exe [ROUNDS] [CALLS_PER_ROUND]     (libveltari_bench_c_side.so on the library path)
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.Linq;
using System.Runtime.InteropServices;
using System.Threading;
using Veltari;

internal static class SetColorsBench
{
    [DllImport("veltari_bench_c_side", CallingConvention = CallingConvention.Cdecl)]
    private static extern double VeltariBenchSetColors912(int iterations);

    private static double Median(List<double> values)
    {
        values.Sort();
        return values[values.Count / 2];
    }

    private static double Time(Action call, int calls)
    {
        var watch = Stopwatch.StartNew();
        for (int i = 0; i < calls; ++i)
        {
            call();
        }
        return watch.Elapsed.TotalMilliseconds * 1e6 / calls;
    }

    private static int Main(string[] args)
    {
        int rounds = args.Length > 0 ? int.Parse(args[0]) : 15;
        int calls = args.Length > 1 ? int.Parse(args[1]) : 2000;
        for (int attempt = 0; ; ++attempt)
        {
            try
            {
                Lighting.Handshake();
                break;
            }
            catch (ServerUnreachableException) when (attempt < 100)
            {
                Thread.Sleep(50);
            }
        }
        LedColor[] array = Enumerable.Range(0, 912).Select(i => new LedColor(i, i % 256, i * 7 % 256, 255 - i % 256)).ToArray();
        var list = new List<LedColor>(array);
        Action fromArray = () => Lighting.SetColors(array);
        Action fromList = () => Lighting.SetColors(list);

        // Warm up: JIT, the staging array, the connection's buffers.
        VeltariBenchSetColors912(calls / 4);
        Time(fromArray, calls / 4);
        Time(fromList, calls / 4);

        var c = new List<double>();
        var csArray = new List<double>();
        var csList = new List<double>();
        for (int round = 0; round < rounds; ++round)
        {
            double native = VeltariBenchSetColors912(calls);
            if (native < 0)
            {
                Console.Error.WriteLine("the C side's call failed");
                return 1;
            }
            c.Add(native);
            csArray.Add(Time(fromArray, calls));
            csList.Add(Time(fromList, calls));
        }
        double reference = Median(c);
        Console.WriteLine("912-LED set, median of {0} rounds of {1} calls, elapsed time per call:", rounds, calls);
        Console.WriteLine("| measured | time | C time | ratio | target |");
        Console.WriteLine("|---|---:|---:|---:|---:|");
        foreach (var row in new[] { Tuple.Create("Lighting.SetColors(LedColor[])", csArray),
                                    Tuple.Create("Lighting.SetColors(List<LedColor>)", csList) })
        {
            double ratio = Median(row.Item2) / reference;
            Console.WriteLine("| {0} | {1:F1} us | {2:F1} us | {3:F3}x | <= 1.50x {4} |", row.Item1,
                              Median(row.Item2) / 1000, reference / 1000, ratio, ratio <= 1.5 ? "met" : "**missed**");
        }
        return 0;
    }
}
