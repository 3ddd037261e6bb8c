// The binding end to end, against the reference server (and, for the error it never reports, a server
// that gives one fixed answer), each started by this program in the private runtime directory it was
// given. The tests run in order: the process's first calls are the ones before any handshake.
//
//   mono Veltari.Tests.exe   with VELTARI_SERVER, VELTARI_RESPONDER and VELTARI_LAYOUTS set
//
// Ends with the line "N passed, N failed"; the exit status is 1 when anything failed.
using System;
using System.Collections.Generic;
using System.Diagnostics;
using System.IO;
using System.Linq;
using System.Reflection;
using System.Runtime.InteropServices;
using System.Threading;
using System.Threading.Tasks;
using Veltari;

internal static class BindingTests
{
    private static int passed;
    private static int failed;

    private static int Main()
    {
        Run("record layouts match the C compiler's", RecordLayouts);
        Run("before a handshake: NoHandshakeException, nothing subscribed", BeforeHandshake);
        Run("no server: ServerUnreachableException", NoServer);
        using (var server = Server.Reference())
        {
            Run("handshake, devices, positions, key lookup, properties", DescribeDevices);
            Run("colours: set from any collection, read back, buffer and flush, control, layers", Colours);
            Run("SetColors from a list allocates nothing", SetColorsAllocatesNothing);
            Run("tasks complete and fail", Tasks);
            Run("key presses survive a forced garbage collection; handler exceptions are caught", KeyPresses(server));
        }
        Run("server gone: calls and tasks fail with ServerUnreachableException", ServerGone);
        using (var server = Server.Reference())
        {
            Run("after a reconnect the key event is registered again", KeysAfterReconnect(server));
        }
        using (Server.Reference("--protocol", "3"))
        {
            Run("older server: ProtocolTooOldException", OlderServer);
        }
        Run("server's own codes: ServerFailureException, VeltariException", ServerCodes);
        Console.WriteLine("{0} passed, {1} failed", passed, failed);
        return failed == 0 ? 0 : 1;
    }

    // ------------------------------------------------------------------------------------------------

    private static void RecordLayouts()
    {
        // Lines "Struct size" and "Struct.field offset" printed by a C program built from veltari.h.
        var types = new Dictionary<string, Type>
        {
            { "VeltariLedColor", typeof(LedColor) },
            { "VeltariLedPosition", typeof(LedPosition) },
        };
        foreach (Type native in typeof(Lighting).Assembly.GetTypes().Where(t => t.Namespace == "Veltari.Native"))
        {
            if (native.Name.StartsWith("Veltari", StringComparison.Ordinal) && native.IsValueType)
            {
                types[native.Name] = native;
            }
        }
        var fieldsSeen = new Dictionary<string, int>();
        foreach (string line in File.ReadAllLines(Environment.GetEnvironmentVariable("VELTARI_LAYOUTS")))
        {
            string[] parts = line.Split(' ');
            string[] name = parts[0].Split('.');
            Check(types.ContainsKey(name[0]), "a C# twin of " + name[0]);
            Type type = types[name[0]];
            int expected = int.Parse(parts[1]);
            if (name.Length == 1)
            {
                Equal(expected, Marshal.SizeOf(type), "sizeof " + name[0]);
            }
            else
            {
                Equal(expected, Marshal.OffsetOf(type, name[1]).ToInt32(), "offsetof " + parts[0]);
                fieldsSeen[name[0]] = fieldsSeen.TryGetValue(name[0], out int n) ? n + 1 : 1;
            }
        }
        Equal(types.Count, fieldsSeen.Count, "records compared");
        foreach (var record in fieldsSeen)
        {
            int fields = types[record.Key].GetFields(BindingFlags.Instance | BindingFlags.Public | BindingFlags.NonPublic).Length;
            Equal(record.Value, fields, "fields of " + record.Key);
        }
    }

    private static void BeforeHandshake()
    {
        Throws<NoHandshakeException>(() => Lighting.DeviceCount());
        Throws<NoHandshakeException>(() => Lighting.SetColorsAsync(new[] { new LedColor(60, 1, 2, 3) }));
        EventHandler<KeyEventArgs> handler = (sender, key) => { };
        var error = Throws<NoHandshakeException>(() => Lighting.KeyPressed += handler);
        Equal(3, error.Code, "code");
        Check(error.Message.Contains("Handshake"), "the message says what to do: " + error.Message);
    }

    private static void NoServer()
    {
        Equal(1, Throws<ServerUnreachableException>(() => Lighting.Handshake()).Code, "code");
    }

    private static void DescribeDevices()
    {
        ProtocolDetails details = Lighting.Handshake();
        Equal("3.0.214", details.SdkVersion, "library version");
        Equal("1.0.0", details.ServerVersion, "server version");
        Equal(9, details.SdkProtocolVersion, "library protocol");
        Equal(9, details.ServerProtocolVersion, "server protocol");
        Check(!details.BreakingChanges, "no breaking changes");

        Equal(4, Lighting.DeviceCount(), "devices");
        DeviceInfo keyboard = Lighting.GetDeviceInfo(0);
        Equal("Veltari Virtual K104 Keyboard", keyboard.Model, "model");
        Equal(1, keyboard.Type, "type");
        Equal(7, keyboard.CapsMask, "caps");
        Equal(108, keyboard.LedCount, "LEDs");
        Equal(0, keyboard.Channels.Count, "keyboard channels");
        DeviceInfo controller = Lighting.GetDeviceInfo(3);
        Equal(2, controller.Channels.Count, "controller channels");
        Equal(24, controller.Channels[1].TotalLedCount, "LEDs of channel 2");
        Equal(2, controller.Channels[1].Devices.Count, "devices on channel 2");
        Equal(2, controller.Channels[1].Devices[0].Type, "fan type");
        Equal(12, controller.Channels[1].Devices[0].LedCount, "fan LEDs");
        Throws<BadArgumentException>(() => Lighting.GetDeviceInfo(4));
        Throws<BadArgumentException>(() => Lighting.GetDeviceInfo(-1));

        Equal(108 + 5 + 3 + 44, Lighting.GetLedPositions().Count, "positions of all devices");
        IReadOnlyList<LedPosition> keys = Lighting.GetLedPositions(0);
        Equal(108, keys.Count, "keyboard positions");
        LedPosition a = keys.Single(p => p.LedId == 60);
        Equal(19.05, a.Width, "width of A");
        Equal(19.05, a.Height, "height of A");
        Check(a.Top > 0 && a.Left > 0, "A is placed: " + a);
        Throws<BadArgumentException>(() => Lighting.GetLedPositions(9));

        Equal(60, Lighting.GetLedIdForKey('A'), "LED of A");
        Equal(76, Lighting.GetLedIdForKey('Z'), "LED of Z");
        Throws<BadArgumentException>(() => Lighting.GetLedIdForKey('1'));
        Throws<BadArgumentException>(() => Lighting.GetLedIdForKey('\u0141')); // its low byte is 'A'

        Check(Lighting.GetBoolProperty(1, PropertyId.Bool(1)), "the mouse is wireless");
        Check(!Lighting.GetBoolProperty(0, new PropertyId(0x1001)), "the keyboard is not");
        Equal(82, Lighting.GetInt32Property(1, PropertyId.Int32(3)), "mouse battery");
        Throws<BadArgumentException>(() => Lighting.GetInt32Property(0, PropertyId.Int32(3))); // no battery
        Throws<BadArgumentException>(() => Lighting.GetBoolProperty(1, PropertyId.Int32(3)));  // wrong kind
    }

    private static IEnumerable<LedColor> Yielded(params LedColor[] colors)
    {
        foreach (LedColor color in colors)
        {
            yield return color;
        }
    }

    private static void Colours()
    {
        Lighting.SetColors(new[] { new LedColor(60, 10, 20, 30), new LedColor(39, new Rgb(1, 2, 3)) });
        Lighting.SetColors(new List<LedColor> { new LedColor(76, 40, 50, 60) });
        // More than the staging array's first size, from an enumeration that is no collection.
        Lighting.SetColors(Yielded(Lighting.GetLedPositions().Where(p => p.LedId > 100)
                                       .Select(p => new LedColor(p.LedId, 7, 7, 7)).ToArray()));
        IReadOnlyDictionary<int, Rgb> colors = Lighting.GetColors(new[] { 60, 39, 76, 201, 444 });
        Equal(new Rgb(10, 20, 30), colors[60], "LED 60 from an array");
        Equal(new Rgb(1, 2, 3), colors[39], "LED 39 from an Rgb");
        Equal(new Rgb(40, 50, 60), colors[76], "LED 76 from a list");
        Equal(new Rgb(7, 7, 7), colors[201], "LED 201 from an enumeration");
        Equal(new Rgb(7, 7, 7), colors[444], "LED 444 from an enumeration");
        Equal(new Rgb(10, 20, 30), Lighting.GetColors(0, new List<int> { 60 })[60], "read by device");
        // An enumeration that calls the binding while it is being staged: LED 61 takes 60's colour, 40 takes 39's.
        Lighting.SetColors(new[] { 60, 39 }.Select(id => new LedColor(id + 1, Lighting.GetColors(new List<int> { id })[id])));
        colors = Lighting.GetColors(new[] { 61, 40, 39 });
        Equal(new Rgb(10, 20, 30), colors[61], "LED 61 from a nested read");
        Equal(new Rgb(1, 2, 3), colors[40], "LED 40 from a nested read");
        Equal(new Rgb(1, 2, 3), colors[39], "LED 39 unchanged");

        Throws<BadArgumentException>(() => Lighting.SetColors(new[] { new LedColor(912, 0, 0, 0) }));
        Throws<BadArgumentException>(() => Lighting.SetColors(new[] { new LedColor(60, 256, 0, 0) }));
        Throws<BadArgumentException>(() => Lighting.SetColors(new LedColor[0]));
        Throws<BadArgumentException>(() => Lighting.SetColors(new[] { new LedColor(500, 0, 0, 0) })); // no such LED
        Throws<BadArgumentException>(() => Lighting.GetColors(new[] { 60, 60 }));
        Throws<ArgumentNullException>(() => Lighting.SetColors(null));

        Lighting.BufferColors(0, new[] { new LedColor(60, 255, 0, 0) });
        Lighting.BufferColors(1, new List<LedColor> { new LedColor(201, 0, 0, 255) });
        Lighting.FlushBuffer();
        colors = Lighting.GetColors(new[] { 60, 201 });
        Equal(new Rgb(255, 0, 0), colors[60], "LED 60 flushed");
        Equal(new Rgb(0, 0, 255), colors[201], "LED 201 flushed");
        Throws<BadArgumentException>(() => Lighting.BufferColors(-1, new[] { new LedColor(60, 0, 0, 0) }));

        using (ControlScope control = Lighting.RequestControl())
        {
            Lighting.SetColors(new[] { new LedColor(60, 9, 9, 9) });
            control.Release();
            control.Release(); // once only
        }
        Lighting.SetLayerPriority(200);
        Throws<BadArgumentException>(() => Lighting.SetLayerPriority(256));
    }

    private static void SetColorsAllocatesNothing()
    {
        var colors = Lighting.GetLedPositions().Select(p => new LedColor(p.LedId, 1, 2, 3)).ToList();
        Lighting.SetColors(colors); // the first call makes the thread's staging array
        long before = GC.GetAllocatedBytesForCurrentThread();
        for (int i = 0; i < 100; ++i)
        {
            Lighting.SetColors(colors);
        }
        Equal(0L, GC.GetAllocatedBytesForCurrentThread() - before, "bytes allocated by 100 calls");
    }

    private static void Tasks()
    {
        Task set = Lighting.SetColorsAsync(new List<LedColor> { new LedColor(60, 0, 128, 0) });
        Collect();
        Check(set.Wait(10000), "the set completed");
        Equal(new Rgb(0, 128, 0), Lighting.GetColors(new[] { 60 })[60], "the set arrived");
        // Calls queued within the same 10 ms share one request and its outcome, so this one goes alone.
        Task bad = Queued(); // only the binding's handle refers to its completion source now
        Collect();
        Faults<BadArgumentException>(bad);

        Lighting.BufferColors(2, new[] { new LedColor(301, 5, 6, 7) });
        Check(Lighting.FlushBufferAsync().Wait(10000), "the flush completed");
        Equal(new Rgb(5, 6, 7), Lighting.GetColors(new[] { 301 })[301], "the flush arrived");

        // Continuations never run on the library's thread.
        Task<bool> onPool = Lighting.SetColorsAsync(new[] { new LedColor(60, 1, 1, 1) })
            .ContinueWith(t => Thread.CurrentThread.IsThreadPoolThread, TaskContinuationOptions.ExecuteSynchronously);
        Check(onPool.Wait(10000) && onPool.Result, "the continuation ran on a thread-pool thread");
        Throws<BadArgumentException>(() => Lighting.SetColorsAsync(new[] { new LedColor(-1, 0, 0, 0) }));
    }

    // An LED the server does not have: accepted by the library, refused by the server. Not inlined, so
    // that no local of the caller keeps the completion source alive.
    [System.Runtime.CompilerServices.MethodImpl(System.Runtime.CompilerServices.MethodImplOptions.NoInlining)]
    private static Task Queued()
    {
        return Lighting.SetColorsAsync(new[] { new LedColor(500, 1, 1, 1) });
    }

    private static Action KeyPresses(Server server)
    {
        return () =>
        {
            var keys = new List<string>();
            var errors = new List<Exception>();
            int testThread = Thread.CurrentThread.ManagedThreadId;
            int eventThread = testThread;
            Subscribe(keys, e => eventThread = Thread.CurrentThread.ManagedThreadId);
            EventHandler<KeyEventArgs> throwing = (sender, key) => { throw new InvalidOperationException("from a handler"); };
            Lighting.KeyPressed += throwing;
            Lighting.HandlerException += (sender, e) => { lock (errors) errors.Add(e.Exception); };
            Collect(); // the registrations are now referred to by the library alone

            server.Type("type:vk");
            WaitFor(() => { lock (keys) return keys.Count >= 4; }, "four key events");
            lock (keys)
            {
                Equal("86 down,86 up,75 down,75 up", string.Join(",", keys), "events in order");
            }
            Check(eventThread != testThread, "events arrive on a library thread");
            WaitFor(() => { lock (errors) return errors.Count >= 4; }, "each handler exception reported");
            Check(errors.All(e => e is InvalidOperationException), "the handlers' own exceptions");

            Lighting.KeyPressed -= throwing;
            server.Type("type:a");
            WaitFor(() => { lock (keys) return keys.Count >= 6; }, "two more events");
            lock (errors)
            {
                Equal(4, errors.Count, "no exception after unsubscribing the thrower");
            }
        };
    }

    private static readonly List<EventHandler<KeyEventArgs>> subscribed = new List<EventHandler<KeyEventArgs>>();

    // Subscribes a handler that records "KEY down|up".
    private static void Subscribe(List<string> keys, Action<KeyEventArgs> also)
    {
        EventHandler<KeyEventArgs> handler = (sender, key) =>
        {
            also(key);
            lock (keys)
            {
                keys.Add(key.KeyId + (key.Pressed ? " down" : " up"));
            }
        };
        Lighting.KeyPressed += handler;
        subscribed.Add(handler);
    }

    private static void ServerGone()
    {
        Throws<ServerUnreachableException>(() => Lighting.DeviceCount());
        Throws<ServerUnreachableException>(() => Lighting.SetColors(new[] { new LedColor(60, 0, 0, 0) }));
        Faults<ServerUnreachableException>(Lighting.SetColorsAsync(new[] { new LedColor(60, 0, 0, 0) }));
        Throws<ServerUnreachableException>(() => Lighting.Handshake());
    }

    private static Action KeysAfterReconnect(Server server)
    {
        return () =>
        {
            // Starting the server made a handshake on a new connection, which registered the earlier
            // test's subscriber again; this one is delivered through that registration.
            var keys = new List<string>();
            Subscribe(keys, e => { });
            server.Type("type:q");
            WaitFor(() => { lock (keys) return keys.Count >= 2; }, "key events on the new connection");
            Lighting.Handshake(); // the same connection: the event must not be delivered twice
            server.Type("type:w");
            WaitFor(() => { lock (keys) return keys.Count >= 4; }, "key events after a second handshake");
            Thread.Sleep(300);
            lock (keys)
            {
                Equal("81 down,81 up,87 down,87 up", string.Join(",", keys), "each event once");
            }
        };
    }

    private static void OlderServer()
    {
        // Subscribers from before are registered again by the handshake, which a protocol 3 server refuses.
        Equal(4, Throws<ProtocolTooOldException>(() => Lighting.Handshake()).Code, "code");
        Throws<ProtocolTooOldException>(() => Lighting.GetColors(new[] { 60 }));
        Throws<ProtocolTooOldException>(() => Lighting.FlushBufferAsync());
        Throws<ProtocolTooOldException>(() => Lighting.GetBoolProperty(1, PropertyId.Bool(1)));
        foreach (EventHandler<KeyEventArgs> handler in subscribed)
        {
            Lighting.KeyPressed -= handler;
        }
    }

    private static void ServerCodes()
    {
        using (Server.Responder("{\"serverVersion\":\"fixed\",\"serverProtocolVersion\":9,\"errorCode\":2,\"result\":false}"))
        {
            AwaitServer();
            Equal("fixed", Lighting.Handshake().ServerVersion, "version");
            Equal(2, Throws<ServerFailureException>(() => Lighting.SetColors(new[] { new LedColor(1, 0, 0, 0) })).Code, "code");
            Faults<ServerFailureException>(Lighting.SetColorsAsync(new[] { new LedColor(1, 0, 0, 0) }));
            // Control is refused without a code: the library does not read one for it.
            var refused = Throws<VeltariException>(() => Lighting.RequestControl());
            Equal(0, refused.Code, "refusal without a code");
        }
        using (Server.Responder("{\"serverVersion\":\"fixed\",\"serverProtocolVersion\":9,\"errorCode\":101,\"result\":false}"))
        {
            AwaitServer();
            var own = Throws<VeltariException>(() => Lighting.SetLayerPriority(1));
            Equal(101, own.Code, "the server's own code");
            Check(own.Message.Contains("101"), "the message names it: " + own.Message);
        }
    }

    // ------------------------------------------------------------------------------------------------

    // Handshakes until the server just started answers (a broken connection is found by the first try).
    // Other failures are the test's business.
    private static void AwaitServer()
    {
        DateTime end = DateTime.UtcNow.AddSeconds(10);
        while (true)
        {
            try
            {
                Lighting.Handshake();
                return;
            }
            catch (ServerUnreachableException) when (DateTime.UtcNow < end)
            {
                Thread.Sleep(50);
            }
            catch (VeltariException error) when (!(error is ServerUnreachableException))
            {
                return;
            }
        }
    }

    private static void Collect()
    {
        for (int i = 0; i < 3; ++i)
        {
            GC.Collect();
            GC.WaitForPendingFinalizers();
        }
    }

    private static void Run(string name, Action test)
    {
        try
        {
            test();
            ++passed;
            Console.WriteLine("ok   {0}", name);
        }
        catch (Exception error)
        {
            ++failed;
            Console.WriteLine("FAIL {0}\n     {1}", name, error.ToString().Replace("\n", "\n     "));
        }
    }

    private static void Check(bool condition, string what)
    {
        if (!condition)
        {
            throw new Exception("expected " + what);
        }
    }

    private static void Equal<T>(T expected, T actual, string what)
    {
        if (!EqualityComparer<T>.Default.Equals(expected, actual))
        {
            throw new Exception(string.Format("{0}: expected {1}, got {2}", what, expected, actual));
        }
    }

    // The action must throw exactly T.
    private static T Throws<T>(Action action) where T : Exception
    {
        try
        {
            action();
        }
        catch (Exception error)
        {
            if (error.GetType() == typeof(T))
            {
                return (T)error;
            }
            throw new Exception("expected " + typeof(T).Name + ", got " + error.GetType().Name, error);
        }
        throw new Exception("expected " + typeof(T).Name + ", nothing was thrown");
    }

    private static void Faults<T>(Task task) where T : Exception
    {
        try
        {
            task.Wait(10000);
        }
        catch (AggregateException error)
        {
            Check(error.InnerException is T, typeof(T).Name + " from the task, not " + error.InnerException);
            return;
        }
        throw new Exception("expected the task to fail with " + typeof(T).Name + "; completed: " + task.IsCompleted);
    }

    private static void WaitFor(Func<bool> done, string what)
    {
        DateTime end = DateTime.UtcNow.AddSeconds(10);
        while (!done())
        {
            Check(DateTime.UtcNow < end, what + " within 10 s");
            Thread.Sleep(20);
        }
    }

    // A server process in this program's runtime directory; disposing it stops it.
    private sealed class Server : IDisposable
    {
        private readonly Process process;

        private Server(string program, IEnumerable<string> arguments)
        {
            var start = new ProcessStartInfo(program, string.Join(" ", arguments.Select(Quote)))
            {
                UseShellExecute = false,
                RedirectStandardInput = true,
                RedirectStandardOutput = true,
                RedirectStandardError = true,
            };
            process = Process.Start(start);
            process.OutputDataReceived += (sender, e) => { };
            process.ErrorDataReceived += (sender, e) => { };
            process.BeginOutputReadLine();
            process.BeginErrorReadLine();
        }

        private static string Quote(string argument)
        {
            return "\"" + argument.Replace("\\", "\\\\").Replace("\"", "\\\"") + "\"";
        }

        public static Server Reference(params string[] options)
        {
            var server = new Server(Environment.GetEnvironmentVariable("VELTARI_SERVER"),
                                    new[] { "--no-view" }.Concat(options));
            AwaitServer();
            return server;
        }

        public static Server Responder(string answer)
        {
            return new Server(Environment.GetEnvironmentVariable("VELTARI_RESPONDER"), new[] { answer });
        }

        // A key script line for the reference server.
        public void Type(string script)
        {
            process.StandardInput.WriteLine(script);
            process.StandardInput.Flush();
        }

        public void Dispose()
        {
            try
            {
                process.StandardInput.WriteLine("quit");
                process.StandardInput.Close();
            }
            catch (IOException)
            {
            }
            if (!process.WaitForExit(5000))
            {
                process.Kill();
                process.WaitForExit();
            }
        }
    }
}
